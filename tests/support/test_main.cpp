// Every test binary starts here: Qt stays offscreen, so the tests need no
// display and never show a window on a developer's desktop.
#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

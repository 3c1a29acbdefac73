// Every test binary starts here: Qt stays offscreen, so the tests need no
// display and never show a window on a developer's desktop. A run on a
// private display server of its own names the platform in
// MA_TEST_QPA_PLATFORM instead.
#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv) {
    const char* platform = std::getenv("MA_TEST_QPA_PLATFORM");
    setenv("QT_QPA_PLATFORM", platform != nullptr ? platform : "offscreen", 1);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

# The Debian package: `cpack -G DEB` in a build directory makes
# monitor-audio_<version>_<arch>.deb from the install rules.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME monitor-audio)
set(CPACK_PACKAGE_VENDOR "The monitor-audio developers")
set(CPACK_PACKAGE_CONTACT "The monitor-audio developers <monitor-audio@users.noreply.github.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "live audio monitor with an oscilloscope")
set(CPACK_PACKAGE_DESCRIPTION
    "One window captures the default sound input all the time and draws the newest\n"
    "captured block as a two-trace oscilloscope, the left channel above the right.\n"
    "A button plays the input back through the default output so that it is heard.\n"
    "It works with PulseAudio, or with PipeWire through its PulseAudio service.")
string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://github.com/monitor-audio/monitor-audio")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The linked libraries give most of Depends. What the program loads or uses
# without linking it comes on top: Qt's X11 platform plugin, the SVG plugin
# that draws its icon, and the narrow face its captions are laid out for.
# The Wayland path reaches the display through Qt's private interface, which
# holds only for the exact Qt it was built against.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "qt6-qpa-plugins, libqt6svg6, fonts-liberation, qt6-base-abi (= ${Qt6Gui_VERSION})")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-wayland, pulseaudio | pipewire-pulse")

include(CPack)

# The Debian package: `cpack -G DEB` in a build directory makes
# monitor-audio_<version>_<arch>.deb from the install rules.
# ma_debian_depends(PACKAGES EXACT_QT): the packages that hold the Qt
# plugins the program loads (less those of the Qt libraries it links, which
# dpkg-shlibdeps names), and the virtual package, with its version, that
# this Qt provides for programs built against its private interface. What
# cannot be found is warned of here and left out; the package check then
# fails on it.
function(ma_debian_depends packages exact_qt)
    # The package that holds FILE, or nothing.
    function(ma_owner file out)
        get_filename_component(file "${file}" REALPATH)
        execute_process(COMMAND ${MA_DPKG_QUERY} -S "${file}" OUTPUT_VARIABLE owner
            RESULT_VARIABLE failed ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
        string(REGEX REPLACE ":.*" "" owner "${owner}")
        if(failed)
            set(owner "")
            message(WARNING "No installed package holds ${file}; the Debian package will not "
                "depend on it (scripts/setup.sh installs it)")
        endif()
        set(${out} "${owner}" PARENT_SCOPE)
    endfunction()

    get_target_property(core Qt6::Core LOCATION)
    get_target_property(gui Qt6::Gui LOCATION)
    ma_owner("${core}" core_package)
    ma_owner("${gui}" gui_package)
    set(plugins "${QT6_INSTALL_PREFIX}/${QT6_INSTALL_PLUGINS}")
    # The icon is an SVG: Qt draws it through these two.
    set(found)
    foreach(plugin imageformats/libqsvg.so iconengines/libqsvgicon.so)
        ma_owner("${plugins}/${plugin}" owner)
        list(APPEND found ${owner})
    endforeach()
    list(REMOVE_DUPLICATES found)
    list(REMOVE_ITEM found ${core_package} ${gui_package})

    # Debian 12's Qt calls it qt6-base-abi, Debian 13's qt6-base-private-abi.
    set(exact)
    if(core_package)
        execute_process(COMMAND ${MA_DPKG_QUERY} -W -f=\${Provides} "${core_package}"
            OUTPUT_VARIABLE provides ERROR_QUIET)
        string(REGEX MATCH "qt6-base-private-abi \\(= [^)]+\\)" exact "${provides}")
        if(NOT exact)
            string(REGEX MATCH "qt6-base-abi \\(= [^)]+\\)" exact "${provides}")
        endif()
        if(NOT exact)
            message(WARNING "${core_package} provides no exact Qt version to depend on")
        endif()
    endif()
    set(${packages} ${found} PARENT_SCOPE)
    set(${exact_qt} ${exact} PARENT_SCOPE)
endfunction()

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
# without linking it comes on top: the SVG plugins that draw its icon, and
# the narrow face its captions are laid out for. The Wayland path reaches
# the display through Qt's private interface, which holds only for the exact
# Qt it was built against. Which packages hold those plugins, and what this
# Qt calls its exact version, differ between releases: both are read off
# the system the package is built on, as dpkg-shlibdeps does for libraries.
# Elsewhere than on Debian there is no Debian package to make.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
find_program(MA_DPKG_QUERY dpkg-query)
if(MA_DPKG_QUERY)
    ma_debian_depends(ma_loaded_packages ma_exact_qt)
    set(ma_depends ${ma_loaded_packages} fonts-liberation ${ma_exact_qt})
    list(JOIN ma_depends ", " CPACK_DEBIAN_PACKAGE_DEPENDS)
endif()
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-wayland, pulseaudio | pipewire-pulse")

include(CPack)

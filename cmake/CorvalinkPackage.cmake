# The Debian package (packaging/) keeps the whole installed layout under one
# root of its own and adds a few files in the system's folders. Those system
# files belong to the install component "package", excluded from a plain
# "cmake --install", so that a staged root never gets them; only the package
# build installs them.
set(CVL_PACKAGE_ROOT "/opt/corvalink")
set(CVL_PACKAGE_COMPONENT package)
# The uninstaller and the platform stand-ins that only it uses: part of every
# staged installation ("cmake --install" installs every component), left out
# of the package, which the package manager removes.
set(CVL_UNINSTALLER_COMPONENT uninstaller)
# Files of every staged installation that the package puts in the system's
# folders under another name (the desktop camera's user unit, its man page):
# left out of the package, whose root would hold them twice.
set(CVL_STAGED_ONLY_COMPONENT staged)
if(CMAKE_LIBRARY_ARCHITECTURE)
    set(CVL_PACKAGE_LIBDIR "/usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}")
else()
    set(CVL_PACKAGE_LIBDIR "/usr/lib")
endif()
# Where GStreamer looks for plug-ins without GST_PLUGIN_PATH.
set(CVL_PACKAGE_GST_PLUGINS "${CVL_PACKAGE_LIBDIR}/gstreamer-1.0")

# Where OBS Studio loads modules from (its plug-in data in
# /usr/share/obs/obs-plugins/NAME).
set(CVL_PACKAGE_OBS_PLUGINS "${CVL_PACKAGE_LIBDIR}/obs-plugins")

# True in a build configured for the package (CMAKE_INSTALL_PREFIX is the
# package root); tools/build-deb.sh configures one.
if(CMAKE_INSTALL_PREFIX STREQUAL CVL_PACKAGE_ROOT)
    set(CVL_PACKAGE_BUILD ON)
else()
    set(CVL_PACKAGE_BUILD OFF)
endif()

# cvl_package_plugin(<target> <folder>): the package installs the plug-in
# library <target> into the system's plug-in folder <folder> of its host
# application (CVL_PACKAGE_GST_PLUGINS, CVL_PACKAGE_OBS_PLUGINS). The plug-in
# then lives outside the root, so in a package build it finds the client
# library and the platform libraries by their absolute folder, and knows the
# package root (CVL_PACKAGE_ROOT) for the application that loads it, which
# no starter of the package gave CVL_ROOT.
function(cvl_package_plugin target folder)
    install(TARGETS ${target} LIBRARY DESTINATION ${folder}
            COMPONENT ${CVL_PACKAGE_COMPONENT} EXCLUDE_FROM_ALL)
    if(CVL_PACKAGE_BUILD)
        set_property(TARGET ${target} APPEND PROPERTY INSTALL_RPATH
                     "${CVL_PACKAGE_ROOT}/${CVL_INSTALL_PLATFORM_LIBS}")
        target_compile_definitions(${target} PRIVATE CVL_PACKAGE_ROOT="${CVL_PACKAGE_ROOT}")
    endif()
endfunction()

# cvl_package_files(<destination> <files...>): system files of the package.
function(cvl_package_files destination)
    install(FILES ${ARGN} DESTINATION ${destination}
            COMPONENT ${CVL_PACKAGE_COMPONENT} EXCLUDE_FROM_ALL)
endfunction()

# Run by cpack after it made the package (CPACK_POST_BUILD_SCRIPTS): takes
# the entry of the folder /opt out of the data archive. The package owns
# /opt/corvalink and what is below it, not /opt: a package that lists /opt,
# which no Debian package owns, makes dpkg try to remove it with the package
# and warn that it is not empty. /opt is there on every Debian system (the
# base system makes it).
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
    if(NOT deb MATCHES "\\.deb$")
        continue()
    endif()
    get_filename_component(work "${deb}.opt" ABSOLUTE)
    file(REMOVE_RECURSE "${work}")
    file(MAKE_DIRECTORY "${work}")
    execute_process(COMMAND ar t "${deb}" WORKING_DIRECTORY "${work}"
                    OUTPUT_VARIABLE members COMMAND_ERROR_IS_FATAL ANY)
    string(REGEX MATCH "data\\.tar\\.gz" data "${members}")
    if(NOT data)
        message(FATAL_ERROR "${deb}: no data.tar.gz among its members: ${members}")
    endif()
    execute_process(COMMAND ar x "${deb}" data.tar.gz WORKING_DIRECTORY "${work}"
                    COMMAND_ERROR_IS_FATAL ANY)
    # Written again by tar from the unpacked tree, entry by entry in the
    # original order, without ./opt/; owners and modes as they were.
    file(MAKE_DIRECTORY "${work}/tree")
    execute_process(COMMAND tar -xpzf ../data.tar.gz --numeric-owner
                    WORKING_DIRECTORY "${work}/tree" COMMAND_ERROR_IS_FATAL ANY)
    execute_process(COMMAND tar -tzf data.tar.gz WORKING_DIRECTORY "${work}"
                    OUTPUT_VARIABLE entries COMMAND_ERROR_IS_FATAL ANY)
    string(REGEX REPLACE "(^|\n)\\./opt/\n" "\\1" entries "${entries}")
    file(WRITE "${work}/entries" "${entries}")
    execute_process(COMMAND tar -C tree -czf data.tar.gz --no-recursion --numeric-owner
                            --owner=0 --group=0 -T entries
                    WORKING_DIRECTORY "${work}" COMMAND_ERROR_IS_FATAL ANY)
    # "r" replaces the member where it stands: debian-binary, control, data.
    execute_process(COMMAND ar rD "${deb}" data.tar.gz WORKING_DIRECTORY "${work}"
                    COMMAND_ERROR_IS_FATAL ANY)
    file(REMOVE_RECURSE "${work}")
endforeach()

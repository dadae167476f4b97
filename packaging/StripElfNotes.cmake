# Run by cpack on its staging folder before it makes the package
# (CPACK_PRE_BUILD_SCRIPTS): takes the sections .comment (the compilers'
# identification, which the start files bring in too) and .note out of every
# ELF file, as Debian's build helpers do. CPACK_STRIP_FILES strips the
# symbols only. objcopy removes the sections of exactly these names, so the
# other notes (.note.gnu.build-id, .note.ABI-tag, ...) stay.
if(NOT IS_DIRECTORY "${CPACK_TEMPORARY_INSTALL_DIRECTORY}")
    message(FATAL_ERROR "no staging folder to strip: \"${CPACK_TEMPORARY_INSTALL_DIRECTORY}\"")
endif()
file(GLOB_RECURSE files LIST_DIRECTORIES false "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
set(stripped 0)
foreach(file IN LISTS files)
    if(IS_SYMLINK "${file}")
        continue()
    endif()
    file(READ "${file}" magic LIMIT 4 HEX)
    if(NOT magic STREQUAL "7f454c46")
        continue()
    endif()
    execute_process(COMMAND "${CPACK_CVL_OBJCOPY}" --remove-section=.comment
                            --remove-section=.note "${file}"
                    COMMAND_ERROR_IS_FATAL ANY)
    math(EXPR stripped "${stripped} + 1")
endforeach()
message(STATUS "CPack: - took .comment and .note out of ${stripped} ELF files")

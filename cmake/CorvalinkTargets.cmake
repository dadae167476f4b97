# Warnings are errors in the project's own code.
function(cvl_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()

# cvl_add_gtest(<name> SOURCES <files...> LIBS <targets...>)
# Builds one GoogleTest program. Every test case runs in a process of its own,
# with its own staged installation root and runtime folder (tests/support).
function(cvl_add_gtest name)
    cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
    cvl_warnings(${name})
    target_link_libraries(${name} PRIVATE cvl_test_support ${ARG_LIBS} GTest::gmock)
    if(NOT ARG_TIMEOUT)
        set(ARG_TIMEOUT 120)
    endif()
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                         PROPERTIES TIMEOUT ${ARG_TIMEOUT} LABELS "${ARG_LABELS}")
endfunction()

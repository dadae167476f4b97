# Warnings are errors in the project's own code.
function(cvl_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()

# cvl_add_gtest(<name> SOURCES <files...> LIBS <targets...> [TIMEOUT <s>]
#               [LABELS <labels...>] [RESOURCE_LOCK <locks...>]
#               [FIXTURES_REQUIRED <fixtures...>])
# Builds one GoogleTest program. Every test case runs in a process of its own,
# with its own staged installation root and runtime folder (tests/support).
# Cases that share something of the whole machine (the process list, say)
# name it as a resource lock, so that ctest runs them one at a time.
function(cvl_add_gtest name)
    cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS;LABELS;RESOURCE_LOCK;FIXTURES_REQUIRED" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
    cvl_warnings(${name})
    target_link_libraries(${name} PRIVATE cvl_test_support ${ARG_LIBS} GTest::gmock)
    if(NOT ARG_TIMEOUT)
        set(ARG_TIMEOUT 120)
    endif()
    set(properties TIMEOUT ${ARG_TIMEOUT})
    if(ARG_LABELS)
        # gtest_discover_tests passes its properties on as one flat list, so
        # a second label would become a property name: one label a target.
        list(LENGTH ARG_LABELS label_count)
        if(label_count GREATER 1)
            message(FATAL_ERROR "cvl_add_gtest(${name}): one label only, got ${ARG_LABELS}")
        endif()
        list(APPEND properties LABELS "${ARG_LABELS}")
    endif()
    if(ARG_RESOURCE_LOCK)
        list(APPEND properties RESOURCE_LOCK "${ARG_RESOURCE_LOCK}")
    endif()
    if(ARG_FIXTURES_REQUIRED)
        list(APPEND properties FIXTURES_REQUIRED "${ARG_FIXTURES_REQUIRED}")
    endif()
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                         PROPERTIES ${properties})
endfunction()

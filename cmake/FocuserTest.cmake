option(FOCUSER_BUILD_TESTS "Build the test programs" ON)
# Each test's whole output, kept in a file of its own.
set(FOCUSER_TEST_LOG_DIR ${CMAKE_BINARY_DIR}/test-logs)

# focuser_reuse_test_pch(<target>): compiles with the test programs' shared
# precompiled header (tests/CMakeLists.txt).
function(focuser_reuse_test_pch target)
    target_precompile_headers(${target} REUSE_FROM focuser_test_main)
endfunction()

# focuser_add_test(<name> SOURCES <files...> [LIBS <targets...>] [COST <seconds>]
#                  [ALONE <gtest filter>])
# Builds tests/<name>.exe (beside the server, per configuration where the
# generator has several) with the shared test main (watchdog, port names) and
# registers it with CTest as win<bits>_<name>, started through the
# cross-compiling emulator in a test lane of its own. COST, the test's time,
# lets the long ones start first. ALONE names the cases whose time bounds are
# the driver's own promises: they run as win<bits>_<name>_alone (label alone),
# with no other test beside them, and the rest side by side.
function(focuser_add_test name)
    cmake_parse_arguments(ARG "" "COST;ALONE" "SOURCES;LIBS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${FOCUSER_TEST_OUTPUT_DIR})
    target_link_libraries(${name} PRIVATE focuser_test_main ${ARG_LIBS})
    target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR} ${FOCUSER_GENERATED_DIR})
    focuser_reuse_test_pch(${name})
    add_dependencies(${name} MorvantisFocuser)
    if(ARG_ALONE)
        _focuser_register_program(${name} ${name} "-${ARG_ALONE}" "${ARG_COST}")
        _focuser_register_program(${name} ${name}_alone "${ARG_ALONE}" "")
        set_tests_properties(win${FOCUSER_BITS}_${name}_alone PROPERTIES RUN_SERIAL ON LABELS "unit;alone")
    else()
        _focuser_register_program(${name} ${name} "" "${ARG_COST}")
    endif()
endfunction()

# One CTest entry for a test program, or for the cases of it that FILTER selects.
function(_focuser_register_program target entry filter cost)
    set(test win${FOCUSER_BITS}_${entry})
    if(CMAKE_CROSSCOMPILING_EMULATOR)
        add_test(NAME ${test}
                 COMMAND ${CMAKE_COMMAND} -DTEST_PROGRAM=$<TARGET_FILE:${target}> -DTEST_BITS=${FOCUSER_BITS}
                         -DTEST_TREE=win${FOCUSER_BITS} "-DTEST_FILTER=${filter}"
                         -DTEST_DIR=$<TARGET_FILE_DIR:${target}> -DTEST_LOG=${FOCUSER_TEST_LOG_DIR}/${entry}.log
                         -P ${CMAKE_SOURCE_DIR}/cmake/RunTest.cmake)
        set_tests_properties(${test} PROPERTIES SKIP_REGULAR_EXPRESSION "FOCUSER-SKIPPED")
    else()
        set(args)
        if(filter)
            set(args "--gtest_filter=${filter}")
        endif()
        add_test(NAME ${test} COMMAND ${target} ${args} WORKING_DIRECTORY $<TARGET_FILE_DIR:${target}>)
        set_tests_properties(${test} PROPERTIES SKIP_RETURN_CODE 77)
    endif()
    # A backstop beyond the test main's own 300 s watchdog.
    set_tests_properties(${test} PROPERTIES LABELS unit TIMEOUT 600 RESOURCE_GROUPS lanes:1)
    if(cost)
        set_tests_properties(${test} PROPERTIES COST ${cost})
    endif()
endfunction()

# focuser_add_script_test(<script.sh> <label> [COST <seconds>] [ALONE])
# Registers a test script (end-to-end, installer): run with bash from the source
# tree, in the bench's environment and a test lane, its output in a file like a
# program's. ALONE: its time bounds are the driver's own, so nothing runs beside it.
function(focuser_add_script_test script label)
    cmake_parse_arguments(ARG "ALONE" "COST" "" ${ARGN})
    get_filename_component(name ${script} NAME_WE)
    add_test(NAME ${name}
             COMMAND ${CMAKE_COMMAND} -DTEST_SCRIPT=${script} -DTEST_DIR=${CMAKE_SOURCE_DIR}
                     -DTEST_TREE=win${FOCUSER_BITS} -DTEST_LOG=${FOCUSER_TEST_LOG_DIR}/${name}.log
                     -P ${CMAKE_SOURCE_DIR}/cmake/RunTest.cmake)
    set_tests_properties(${name} PROPERTIES LABELS ${label} TIMEOUT 1200 SKIP_REGULAR_EXPRESSION "FOCUSER-SKIPPED"
                                            RESOURCE_GROUPS lanes:1)
    if(ARG_COST)
        set_tests_properties(${name} PROPERTIES COST ${ARG_COST})
    endif()
    if(ARG_ALONE)
        set_tests_properties(${name} PROPERTIES RUN_SERIAL ON LABELS "${label};alone")
    endif()
endfunction()

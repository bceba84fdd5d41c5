# Runs one test with every output in a file, so that no process the test leaves
# running (Wine's desktop and service processes) holds CTest's pipe and keeps the
# test from ending. Prints the file's telling lines when the test fails, and a
# line CTest reads as a skip when the loader reports status 77.
#   cmake -DTEST_LOG=<file> -DTEST_DIR=<dir> (-DTEST_PROGRAM=<exe> -DTEST_BITS=<32|64>
#         | -DTEST_SCRIPT=<file.sh>) -P RunTest.cmake
# Where FOCUSER_BENCH_BEFORE_TEST is set, that command runs first (the bench gives
# every test fresh serial lines).
# Run side by side (ctest -j with the bench's file of resources), a test is handed a
# lane: it then runs in that lane's prefix, on its X display and null-modem
# ports. FOCUSER_BENCH_LOG_DIR moves the logs to <dir>/<TEST_TREE>/.
cmake_minimum_required(VERSION 3.25)

if(DEFINED ENV{CTEST_RESOURCE_GROUP_0_LANES} AND DEFINED ENV{FOCUSER_BENCH_LANES_DIR})
    if(NOT "$ENV{CTEST_RESOURCE_GROUP_0_LANES}" MATCHES "id:([^,;]+)")
        message(FATAL_ERROR "no lane in CTEST_RESOURCE_GROUP_0_LANES='$ENV{CTEST_RESOURCE_GROUP_0_LANES}'")
    endif()
    set(lane_dir "$ENV{FOCUSER_BENCH_LANES_DIR}/${CMAKE_MATCH_1}")
    file(STRINGS "${lane_dir}/display" display LIMIT_COUNT 1)
    set(ENV{WINEPREFIX} "${lane_dir}/wineprefix")
    set(ENV{FOCUSER_BENCH_PORTS} "${lane_dir}/ports")
    set(ENV{DISPLAY} "${display}")
endif()
if(NOT "$ENV{FOCUSER_BENCH_LOG_DIR}" STREQUAL "")
    get_filename_component(log_name ${TEST_LOG} NAME)
    set(TEST_LOG "$ENV{FOCUSER_BENCH_LOG_DIR}/${TEST_TREE}/${log_name}")
endif()

if(DEFINED TEST_PROGRAM)
    set(command ${CMAKE_CURRENT_LIST_DIR}/../scripts/lib/winerun ${TEST_BITS} ${TEST_PROGRAM})
    if(NOT "${TEST_FILTER}" STREQUAL "")
        list(APPEND command "--gtest_filter=${TEST_FILTER}")
    endif()
else()
    set(command bash ${TEST_SCRIPT})
endif()

if(NOT "$ENV{FOCUSER_BENCH_BEFORE_TEST}" STREQUAL "")
    separate_arguments(before UNIX_COMMAND "$ENV{FOCUSER_BENCH_BEFORE_TEST}")
    execute_process(COMMAND ${before} RESULT_VARIABLE before_rc OUTPUT_QUIET ERROR_QUIET)
    if(NOT before_rc EQUAL 0)
        message(FATAL_ERROR "the bench could not prepare the test (${before_rc}): $ENV{FOCUSER_BENCH_BEFORE_TEST}")
    endif()
endif()

get_filename_component(log_dir ${TEST_LOG} DIRECTORY)
file(MAKE_DIRECTORY ${log_dir})
execute_process(COMMAND ${command}
    WORKING_DIRECTORY ${TEST_DIR}
    INPUT_FILE /dev/null
    OUTPUT_FILE ${TEST_LOG}
    ERROR_FILE ${TEST_LOG}
    RESULT_VARIABLE rc)

if(rc EQUAL 0)
    # A filter that no longer names a case must not pass for a run of them.
    if(DEFINED TEST_PROGRAM)
        file(STRINGS ${TEST_LOG} ran REGEX "^\\[==========\\] 0 tests? from")
        if(ran)
            message(FATAL_ERROR "no test case ran (filter '${TEST_FILTER}'; log: ${TEST_LOG})")
        endif()
    endif()
    return()
endif()
if(rc EQUAL 77)
    message("FOCUSER-SKIPPED: this machine runs 64-bit code only")
    return()
endif()
file(STRINGS ${TEST_LOG} lines)
set(shown 0)
foreach(line IN LISTS lines)
    if(line MATCHES "^\\[  FAILED  \\]|Failure|WATCHDOG|error|FAIL")
        message("      ${line}")
        math(EXPR shown "${shown} + 1")
        if(shown EQUAL 30)
            break()
        endif()
    endif()
endforeach()
if(shown EQUAL 0)
    list(LENGTH lines count)
    math(EXPR first "${count} - 20")
    if(first LESS 0)
        set(first 0)
    endif()
    list(SUBLIST lines ${first} 20 tail)
    foreach(line IN LISTS tail)
        message("      ${line}")
    endforeach()
endif()
message(FATAL_ERROR "exit status ${rc} (log: ${TEST_LOG})")

# Runs one test with every output in a file, so that no process the test leaves
# running (Wine's desktop and service processes) holds CTest's pipe and keeps the
# test from ending. Prints the file's telling lines when the test fails, and a
# line CTest reads as a skip when the loader reports status 77.
#   cmake -DTEST_LOG=<file> -DTEST_DIR=<dir> (-DTEST_PROGRAM=<exe> -DTEST_BITS=<32|64>
#         | -DTEST_SCRIPT=<file.sh>) -P RunTest.cmake
# Where FOCUSER_BENCH_BEFORE_TEST is set, that command runs first (the bench gives
# every test fresh serial lines).
cmake_minimum_required(VERSION 3.25)

if(DEFINED TEST_PROGRAM)
    set(command ${CMAKE_CURRENT_LIST_DIR}/../scripts/lib/winerun ${TEST_BITS} ${TEST_PROGRAM})
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

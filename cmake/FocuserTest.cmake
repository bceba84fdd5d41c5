option(FOCUSER_BUILD_TESTS "Build the test programs" ON)
# Each test's whole output, kept in a file of its own.
set(FOCUSER_TEST_LOG_DIR ${CMAKE_BINARY_DIR}/test-logs)

# focuser_add_test(<name> SOURCES <files...> [LIBS <targets...>])
# Builds tests/<name>.exe (beside the server, per configuration where the
# generator has several) with the shared test main (watchdog, port names) and
# registers it with CTest, which starts it through the cross-compiling emulator.
function(focuser_add_test name)
    cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${FOCUSER_TEST_OUTPUT_DIR})
    target_link_libraries(${name} PRIVATE focuser_test_main ${ARG_LIBS})
    target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR} ${FOCUSER_GENERATED_DIR})
    if(CMAKE_CROSSCOMPILING_EMULATOR)
        add_test(NAME ${name}
                 COMMAND ${CMAKE_COMMAND} -DTEST_PROGRAM=$<TARGET_FILE:${name}> -DTEST_BITS=${FOCUSER_BITS}
                         -DTEST_DIR=$<TARGET_FILE_DIR:${name}> -DTEST_LOG=${FOCUSER_TEST_LOG_DIR}/${name}.log
                         -P ${CMAKE_SOURCE_DIR}/cmake/RunTest.cmake)
        set_tests_properties(${name} PROPERTIES SKIP_REGULAR_EXPRESSION "FOCUSER-SKIPPED")
    else()
        add_test(NAME ${name} COMMAND ${name} WORKING_DIRECTORY $<TARGET_FILE_DIR:${name}>)
        set_tests_properties(${name} PROPERTIES SKIP_RETURN_CODE 77)
    endif()
    # A backstop beyond the test main's own 300 s watchdog.
    set_tests_properties(${name} PROPERTIES LABELS unit TIMEOUT 600)
    add_dependencies(${name} MorvantisFocuser)
endfunction()

# focuser_add_script_test(<script.sh> <label>)
# Registers a test script (end-to-end, installer): run with bash from the source
# tree, in the bench's environment, its output in a file like a program's.
function(focuser_add_script_test script label)
    get_filename_component(name ${script} NAME_WE)
    add_test(NAME ${name}
             COMMAND ${CMAKE_COMMAND} -DTEST_SCRIPT=${script} -DTEST_DIR=${CMAKE_SOURCE_DIR}
                     -DTEST_LOG=${FOCUSER_TEST_LOG_DIR}/${name}.log -P ${CMAKE_SOURCE_DIR}/cmake/RunTest.cmake)
    set_tests_properties(${name} PROPERTIES LABELS ${label} TIMEOUT 1200 SKIP_REGULAR_EXPRESSION "FOCUSER-SKIPPED")
endfunction()

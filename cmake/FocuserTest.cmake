option(FOCUSER_BUILD_TESTS "Build the test programs" ON)

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
    add_test(NAME ${name} COMMAND ${name} WORKING_DIRECTORY $<TARGET_FILE_DIR:${name}>)
    set_tests_properties(${name} PROPERTIES SKIP_RETURN_CODE 77)
    add_dependencies(${name} MorvantisFocuser)
endfunction()

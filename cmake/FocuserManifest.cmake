# focuser_add_manifest(<target>): links resources/Application.rc into a program,
# which gives it the project's manifest (run as the invoker, the Windows versions
# it supports). Every .exe we ship calls it; tests/tools checks the result.
function(focuser_add_manifest target)
    set(dir ${CMAKE_SOURCE_DIR}/resources)
    target_sources(${target} PRIVATE ${dir}/Application.rc)
    # windres finds the manifest only on its include path, and reports no
    # dependencies: an edited manifest must still rebuild the resource.
    set_source_files_properties(${dir}/Application.rc PROPERTIES INCLUDE_DIRECTORIES ${dir}
        OBJECT_DEPENDS ${dir}/Application.manifest)
    # MSVC's linker would make a manifest of its own and put it in place of ours.
    if(MSVC)
        target_link_options(${target} PRIVATE /MANIFEST:NO)
    endif()
endfunction()

# focuser_add_version_info(<target> <description> [SELF_REGISTERING]): gives a
# file we ship the version resource of resources/Version.rc.in: the project's
# version, with the file's own name, description and type. SELF_REGISTERING
# adds the entry that says the file registers itself through its exports.
function(focuser_add_version_info target description)
    cmake_parse_arguments(ARG "SELF_REGISTERING" "" "" ${ARGN})
    get_target_property(type ${target} TYPE)
    get_target_property(name ${target} OUTPUT_NAME)
    if(NOT name)
        set(name ${target})
    endif()
    set(FOCUSER_INTERNAL_NAME ${name})
    if(type STREQUAL "SHARED_LIBRARY")
        set(FOCUSER_FILE_TYPE VFT_DLL)
        set(FOCUSER_FILE_NAME ${name}.dll)
    else()
        set(FOCUSER_FILE_TYPE VFT_APP)
        set(FOCUSER_FILE_NAME ${name}.exe)
    endif()
    set(FOCUSER_FILE_DESCRIPTION ${description})
    set(FOCUSER_VERSION_COMMAS "${PROJECT_VERSION_MAJOR}, ${PROJECT_VERSION_MINOR}, ${PROJECT_VERSION_PATCH}, 0")
    set(FOCUSER_VERSION_DOTS "${PROJECT_VERSION}.0")
    set(FOCUSER_SELF_REGISTER_ENTRY "")
    if(ARG_SELF_REGISTERING)
        set(FOCUSER_SELF_REGISTER_ENTRY "            VALUE \"OLESelfRegister\", \"\"")
    endif()
    set(script ${CMAKE_CURRENT_BINARY_DIR}/${target}-version.rc)
    configure_file(${CMAKE_SOURCE_DIR}/resources/Version.rc.in ${script} @ONLY)
    target_sources(${target} PRIVATE ${script})
endfunction()

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

# Runs makensis when the setup is missing or older than what goes into it:
#   cmake -DMAKENSIS=<makensis> -DSCRIPT=<MorvantisFocuser.nsi> -DDLL32=... -DDLL64=...
#         -DOUTFILE=<setup.exe> -DTREE32=... -DTREE64=... -DSOURCE=<repository>
#         -DVERSION=<MAJOR.MINOR.PATCH> [-DSIGN=<program>] -P MakeSetup.cmake
# (the defines the script names). scripts/lib/driver.sh's driver_make_setup
# runs it for the release (scripts/release.sh) and for the tests' setups of
# other versions and signed ones.
# A missing 32-bit server is not an error of this tree: the 64-bit tree may be
# built on its own, and the setup then waits for a build of both.
get_filename_component(DLL32 ${DLL32} ABSOLUTE)
get_filename_component(TREE32 ${TREE32} ABSOLUTE)
if(NOT EXISTS ${DLL32})
    message(STATUS "Setup not made: ${DLL32} is not built yet")
    return()
endif()

set(stale FALSE)
if(NOT EXISTS ${OUTFILE})
    set(stale TRUE)
else()
    foreach(input ${DLL32} ${DLL64} ${SCRIPT} ${TREE32}/FocuserCtl.exe ${TREE32}/FocuserSim.exe
            ${TREE64}/FocuserCtl.exe ${TREE64}/FocuserSim.exe ${SOURCE}/README.md ${SOURCE}/examples/focuser.vbs)
        if(${input} IS_NEWER_THAN ${OUTFILE})
            set(stale TRUE)
        endif()
    endforeach()
endif()
if(NOT stale)
    return()
endif()

set(signing)
if(SIGN)
    set(signing -DSIGN=${SIGN})
endif()
execute_process(
    COMMAND ${MAKENSIS} -V2 -WX -DDLL32=${DLL32} -DDLL64=${DLL64} -DOUTFILE=${OUTFILE}.tmp -DTREE32=${TREE32}
            -DTREE64=${TREE64} -DSOURCE=${SOURCE} -DVERSION=${VERSION} ${signing} ${SCRIPT}
    RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    file(REMOVE ${OUTFILE}.tmp)
    message(FATAL_ERROR "makensis failed (${result})")
endif()
file(RENAME ${OUTFILE}.tmp ${OUTFILE})
message(STATUS "Setup: ${OUTFILE}")

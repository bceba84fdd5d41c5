# What every mingw-w64 toolchain of the project shares; the toolchain file sets
# CMAKE_SYSTEM_PROCESSOR and FOCUSER_TRIPLE, then includes this. The test
# programs run under Wine, each through the loader of its bitness (winerun says
# "skipped" with status 77 for a 32-bit one where 32-bit code cannot run).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_RC_COMPILER ${FOCUSER_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${FOCUSER_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
if(FOCUSER_TRIPLE MATCHES "^x86_64")
    set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/lib/winerun 64)
else()
    set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/lib/winerun 32)
endif()

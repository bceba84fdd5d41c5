# GCC for the i686 mingw-w64 target (the -posix thread model): the product's build.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(FOCUSER_TRIPLE i686-w64-mingw32)
set(CMAKE_C_COMPILER ${FOCUSER_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${FOCUSER_TRIPLE}-g++-posix)
include(${CMAKE_CURRENT_LIST_DIR}/MingwTarget.cmake)

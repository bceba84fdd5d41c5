# GCC for the x86_64 mingw-w64 target (the -posix thread model): the product's build.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(FOCUSER_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${FOCUSER_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${FOCUSER_TRIPLE}-g++-posix)
include(${CMAKE_CURRENT_LIST_DIR}/MingwTarget.cmake)

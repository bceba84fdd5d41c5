# clang++ for the i686 mingw-w64 target (see MingwClang.cmake).
set(CMAKE_SYSTEM_PROCESSOR x86)
set(FOCUSER_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/MingwClang.cmake)

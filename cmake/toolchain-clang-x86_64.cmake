# clang++ for the x86_64 mingw-w64 target (see MingwClang.cmake).
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(FOCUSER_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/MingwClang.cmake)

# clang++ for a mingw-w64 target, on mingw-w64's headers, libraries and GCC
# run-time (the -posix thread model, as the GCC toolchain uses). Proves the
# sources build with a second compiler; the product ships from the GCC build.
# The toolchain file sets CMAKE_SYSTEM_PROCESSOR and FOCUSER_TRIPLE, then
# includes this.
include(${CMAKE_CURRENT_LIST_DIR}/MingwTarget.cmake)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${FOCUSER_TRIPLE})
set(CMAKE_CXX_COMPILER_TARGET ${FOCUSER_TRIPLE})
# clang looks for libstdc++ beside the target's sysroot; Debian keeps it with GCC.
file(GLOB FOCUSER_GCC_DIRS LIST_DIRECTORIES true /usr/lib/gcc/${FOCUSER_TRIPLE}/*-posix)
list(SORT FOCUSER_GCC_DIRS COMPARE NATURAL)
list(POP_BACK FOCUSER_GCC_DIRS FOCUSER_GCC_DIR)
set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES ${FOCUSER_GCC_DIR}/include/c++ ${FOCUSER_GCC_DIR}/include/c++/${FOCUSER_TRIPLE}
    ${FOCUSER_GCC_DIR}/include/c++/backward)
# LLVM's own linker, as a native clang toolchain would use.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld -L${FOCUSER_GCC_DIR} -pthread")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-fuse-ld=lld -L${FOCUSER_GCC_DIR} -pthread")

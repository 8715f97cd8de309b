# Cross build for i686 Windows with clang and lld (Debian's clang-19, lld-19,
# llvm-19). GCC's mingw-w64 packages still provide the headers, the CRT and
# the C++ runtime (libstdc++ of g++-mingw-w64-*-posix, linked statically).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(TOOLCHAIN_PREFIX i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/ClangMinGW.cmake)

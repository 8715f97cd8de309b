# Cross build for i686 Windows with Debian's mingw-w64 GCC (posix threads): the
# compiler the project used before clang; kept to compare builds (scripts/build.sh
# i686 <dir> -DCMAKE_TOOLCHAIN_FILE=<this file>). GCC writes DWARF, no PDBs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(TOOLCHAIN_PREFIX i686-w64-mingw32)
set(CMAKE_C_COMPILER ${TOOLCHAIN_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TOOLCHAIN_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${TOOLCHAIN_PREFIX}-windres)
include(${CMAKE_CURRENT_LIST_DIR}/MinGWCrossRoot.cmake)

# What every cross toolchain here shares, whatever the compiler: Debian's
# mingw-w64 root for libraries and headers, and the objdump the table checks
# use. Included by the toolchain files after TOOLCHAIN_PREFIX is set.
set(CMAKE_FIND_ROOT_PATH /usr/${TOOLCHAIN_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Packages such as TarnStub live outside the cross root (CMAKE_PREFIX_PATH).
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
set(TARNSTUB_OBJDUMP ${TOOLCHAIN_PREFIX}-objdump)

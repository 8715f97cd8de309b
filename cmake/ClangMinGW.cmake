# The part of the clang toolchain files common to both architectures; the
# including file sets CMAKE_SYSTEM_PROCESSOR and TOOLCHAIN_PREFIX.
#
# clang-19 finds Debian's mingw-w64 headers and CRT and GCC's 12-posix folder
# (libstdc++, crtbegin.o) by itself; clang 14 would not (it would take an
# empty crtbegin.o, and i686 exceptions would silently stop working:
# scripts/check-pdb.sh checks the i686 binaries for the frame registration).
set(TARNSTUB_LLVM_SUFFIX "-19" CACHE STRING "Suffix of the LLVM tools' names (Debian's versioned names)")
set(CMAKE_C_COMPILER clang${TARNSTUB_LLVM_SUFFIX})
set(CMAKE_C_COMPILER_TARGET ${TOOLCHAIN_PREFIX})
set(CMAKE_CXX_COMPILER clang++${TARNSTUB_LLVM_SUFFIX})
set(CMAKE_CXX_COMPILER_TARGET ${TOOLCHAIN_PREFIX})
# GNU windres writes the COFF resource objects lld links.
set(CMAKE_RC_COMPILER ${TOOLCHAIN_PREFIX}-windres)
set(CMAKE_AR llvm-ar${TARNSTUB_LLVM_SUFFIX} CACHE FILEPATH "")
set(CMAKE_RANLIB llvm-ranlib${TARNSTUB_LLVM_SUFFIX} CACHE FILEPATH "")
set(CMAKE_OBJCOPY llvm-objcopy${TARNSTUB_LLVM_SUFFIX} CACHE FILEPATH "")
set(CMAKE_OBJDUMP llvm-objdump${TARNSTUB_LLVM_SUFFIX} CACHE FILEPATH "")
# llvm-strip drops the symbol table and DWARF (of the CRT and libstdc++) and
# keeps the debug directory that names the PDB.
set(CMAKE_STRIP llvm-strip${TARNSTUB_LLVM_SUFFIX} CACHE FILEPATH "")

# lld for every link; it also writes the import libraries (--out-implib) in
# the short format that MSVC-style linkers take, /safeseh included. GCC adds
# winpthread itself, clang does not: libstdc++ and libgcc's unwinder need it
# (lld finds archive members whatever the order of the libraries).
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT "-fuse-ld=lld -lpthread")
endforeach()
# Each target names the Windows libraries it uses; the clang driver adds
# kernel32, user32, advapi32 and shell32 itself. CMake's default list
# (gdi32, winspool, comdlg32 ...) would link them into everything.
set(CMAKE_C_STANDARD_LIBRARIES "" CACHE STRING "Libraries linked into every C program")
set(CMAKE_CXX_STANDARD_LIBRARIES "" CACHE STRING "Libraries linked into every C++ program")
# CMake's whole-archive linking wraps the archive in --push-state/--pop-state,
# which lld's MinGW driver does not know.
set(_CMAKE_LINKER_PUSHPOP_STATE_SUPPORTED FALSE CACHE INTERNAL "")

include(${CMAKE_CURRENT_LIST_DIR}/MinGWCrossRoot.cmake)

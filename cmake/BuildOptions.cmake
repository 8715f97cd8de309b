# What every target of the project is compiled and linked with, given to each
# target through tarnstub_build_options (a target links it PRIVATE) instead of
# directory-wide options; third-party code (GoogleTest, widl's output) keeps
# its own.
option(TARNSTUB_WERROR "Treat compiler warnings as errors" OFF)

# tarnstub_common_options: what the product and the tests share.
add_library(tarnstub_common_options INTERFACE)
target_compile_definitions(tarnstub_common_options INTERFACE
  UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
target_compile_options(tarnstub_common_options INTERFACE
  -Wall -Wextra $<$<BOOL:${TARNSTUB_WERROR}>:-Werror>)
# The C++ runtime and winpthread are linked statically: the binaries import
# only Windows system DLLs.
target_link_options(tarnstub_common_options INTERFACE
  -static -static-libgcc $<$<LINK_LANGUAGE:CXX>:-static-libstdc++>)
add_library(tarnstub_build_options INTERFACE)
target_link_libraries(tarnstub_build_options INTERFACE tarnstub_common_options)

if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  set(TARNSTUB_CLANG ON)
  # CodeView debug information, which lld turns into one PDB per binary
  # (tarnstub_pdb below).
  target_compile_options(tarnstub_build_options INTERFACE -gcodeview)
  target_compile_options(tarnstub_common_options INTERFACE
    # Locks the compiler checks: see src/win/ThreadSafety.h.
    -Wthread-safety
    # GCC's default for MinGW, not clang's: without it a replaced sized
    # operator delete is never called.
    $<$<COMPILE_LANGUAGE:CXX>:-fsized-deallocation>)
else()
  set(TARNSTUB_CLANG OFF)
endif()

# Programs that use std::call_once, std::future or std::async (the tests
# and benchmarks): libstdc++'s inline parts of these reach thread-local
# variables that GCC's runtime keeps in emulated TLS, which clang uses only
# when told. Product code does without them: the link fails without emulated
# TLS, and with it CodeView refers to thread_local variables by symbols that
# emulated TLS does not define (undefined symbol at link time), so the test
# programs' own code is compiled with DWARF instead of CodeView.
add_library(tarnstub_test_options INTERFACE)
target_link_libraries(tarnstub_test_options INTERFACE tarnstub_common_options)
if(TARNSTUB_CLANG)
  target_compile_options(tarnstub_test_options INTERFACE -femulated-tls)
endif()

# tarnstub_pdb(<target> ...): each target (a DLL or EXE that ships) gets its
# PDB, bin/<target>.pdb (the target's name, so TarnRefServer.dll and
# TarnRefServer.exe do not write one file), named in its debug directory by
# file name only (-pdbaltpath): no build path in the binary. The PDBs go to
# the package's symbols archive (cmake/Packaging.cmake).
set(TARNSTUB_PDB_FILES "" CACHE INTERNAL "")
function(tarnstub_pdb)
  if(NOT TARNSTUB_CLANG)
    return()
  endif()
  foreach(target ${ARGN})
    set(pdb ${CMAKE_BINARY_DIR}/bin/${target}.pdb)
    target_link_options(${target} PRIVATE "LINKER:--pdb=${pdb}" "LINKER:-Xlink=-pdbaltpath:%_PDB%")
    set_property(TARGET ${target} PROPERTY TARNSTUB_PDB ${pdb})
    set_property(TARGET ${target} APPEND PROPERTY ADDITIONAL_CLEAN_FILES ${pdb})
  endforeach()
endfunction()

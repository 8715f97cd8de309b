# What a blade developer gets: the DLLs, import libraries, headers, the
# reference Tarn server (in process, and out of process with its proxy/stub
# DLL, its control client and the IDL files), the sample blade (built and as
# sources), a CMake package configuration and the guide.
# `cmake --build <dir> --target package` makes two ZIPs, one per CPack
# component:
#   TarnStub-<version>-<win32|win64>.zip          component Runtime: the package
#   TarnStub-<version>-<win32|win64>-symbols.zip  component Symbols: bin/<target>.pdb
# CPack strips the package's DLLs and EXEs (CPACK_STRIP_FILES); each keeps its
# debug directory, which names its PDB by file name. Both archives have the
# same top folder, so unpacking the symbols over the package puts each PDB
# beside its binary, where debuggers look for it.
include(CMakePackageConfigHelpers)

# Import libraries of what a blade links (TarnStub.lib, TarnRefServer.lib,
# TarnRefClient.lib), written by lld in the short import format that GNU ld
# and MSVC-style linkers (lld-link, link.exe; /SAFESEH for x86) take alike.
install(TARGETS TarnStub TarnRefServer TarnRefClient EXPORT TarnStubTargets
  RUNTIME DESTINATION bin COMPONENT Runtime
  ARCHIVE DESTINATION lib COMPONENT Runtime
  INCLUDES DESTINATION include)
# Loaded at run time or started: nothing links against GANTRY.dll or
# TarnProxy.dll, so their import libraries stay out of the package.
install(TARGETS GANTRY TarnProxy TarnRefServerExe sample_blade
  RUNTIME DESTINATION bin COMPONENT Runtime
  ARCHIVE DESTINATION lib COMPONENT Unshipped EXCLUDE_FROM_ALL)
install(EXPORT TarnStubTargets NAMESPACE TarnStub:: DESTINATION lib/cmake/TarnStub
  COMPONENT Runtime)

install(FILES include/tarnstub.h refserver/include/tarnref.h DESTINATION include COMPONENT Runtime)
install(FILES sample/CMakeLists.txt sample/sample_blade.cpp DESTINATION sample COMPONENT Runtime)
install(FILES docs/BLADE_GUIDE.md DESTINATION . COMPONENT Runtime)
install(FILES src/server/TarnServer.idl refserver/TarnRefControl.idl DESTINATION idl COMPONENT Runtime)
install(FILES cmake/toolchain-i686.cmake cmake/toolchain-x86_64.cmake cmake/ClangMinGW.cmake cmake/MinGWCrossRoot.cmake
  cmake/toolchain-gcc-i686.cmake cmake/toolchain-gcc-x86_64.cmake
  DESTINATION cmake COMPONENT Runtime)

set(TARNSTUB_BIN_DIR bin)
configure_package_config_file(cmake/TarnStubConfig.cmake.in ${CMAKE_BINARY_DIR}/TarnStubConfig.cmake
  INSTALL_DESTINATION lib/cmake/TarnStub PATH_VARS TARNSTUB_BIN_DIR)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/TarnStubConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion ARCH_INDEPENDENT)
install(FILES ${CMAKE_BINARY_DIR}/TarnStubConfig.cmake ${CMAKE_BINARY_DIR}/TarnStubConfigVersion.cmake
  DESTINATION lib/cmake/TarnStub COMPONENT Runtime)

# One PDB per shipped binary (clang builds; see tarnstub_pdb).
set(TARNSTUB_SHIPPED_BINARIES TarnStub GANTRY TarnRefServer TarnRefClient TarnRefServerExe TarnProxy
  sample_blade)
set(pdbs)
foreach(target ${TARNSTUB_SHIPPED_BINARIES})
  get_target_property(pdb ${target} TARNSTUB_PDB)
  if(pdb)
    list(APPEND pdbs ${pdb})
  endif()
endforeach()
set(CPACK_COMPONENTS_ALL Runtime)
if(pdbs)
  install(FILES ${pdbs} DESTINATION bin COMPONENT Symbols)
  list(APPEND CPACK_COMPONENTS_ALL Symbols)
endif()

if(CMAKE_SYSTEM_PROCESSOR STREQUAL "i686")
  set(CPACK_SYSTEM_NAME win32)
else()
  set(CPACK_SYSTEM_NAME win64)
endif()
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME TarnStub)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME ${CPACK_PACKAGE_NAME}-${CPACK_PACKAGE_VERSION}-${CPACK_SYSTEM_NAME})
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
set(CPACK_ARCHIVE_RUNTIME_FILE_NAME ${CPACK_PACKAGE_FILE_NAME})
set(CPACK_ARCHIVE_SYMBOLS_FILE_NAME ${CPACK_PACKAGE_FILE_NAME}-symbols)
include(CPack)

# What a blade developer gets: the DLLs, import libraries, headers, the
# reference Tarn server (in process, and out of process with its proxy/stub
# DLL, its control client and the IDL files), the sample blade (built and as sources), a CMake
# package configuration and the guide. `cmake --build <dir> --target package`
# makes the ZIP.
include(CMakePackageConfigHelpers)

install(TARGETS TarnStub TarnRefServer TarnRefClient TarnRefServerExe
  RUNTIME DESTINATION bin
  ARCHIVE DESTINATION lib)
# GANTRY.dll and TarnProxy.dll are loaded at run time; nothing links
# against them.
install(FILES $<TARGET_FILE:GANTRY> $<TARGET_FILE:TarnProxy> DESTINATION bin)
install(TARGETS sample_blade RUNTIME DESTINATION bin)
install(FILES include/tarnstub.h refserver/include/tarnref.h DESTINATION include)
install(FILES sample/CMakeLists.txt sample/sample_blade.cpp DESTINATION sample)
install(FILES docs/BLADE_GUIDE.md DESTINATION .)
install(FILES src/server/TarnServer.idl refserver/TarnRefControl.idl DESTINATION idl)
install(FILES cmake/toolchain-i686.cmake cmake/toolchain-x86_64.cmake DESTINATION cmake)

configure_file(cmake/TarnStubConfig.cmake.in ${CMAKE_BINARY_DIR}/TarnStubConfig.cmake @ONLY)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/TarnStubConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion ARCH_INDEPENDENT)
install(FILES ${CMAKE_BINARY_DIR}/TarnStubConfig.cmake ${CMAKE_BINARY_DIR}/TarnStubConfigVersion.cmake
  DESTINATION lib/cmake/TarnStub)

if(CMAKE_SYSTEM_PROCESSOR STREQUAL "i686")
  set(CPACK_SYSTEM_NAME win32)
else()
  set(CPACK_SYSTEM_NAME win64)
endif()
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME TarnStub)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
include(CPack)

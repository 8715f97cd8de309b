# What a blade developer gets: the DLLs, import libraries, headers, the
# reference Tarn server (in process, and out of process with its proxy/stub
# DLL, its control client and the IDL files), the sample blade (built and as sources), a CMake
# package configuration and the guide. `cmake --build <dir> --target package`
# makes the ZIP, and beside it the symbols archive.
include(CMakePackageConfigHelpers)

# The package ships stripped binaries. The debug information of each goes to
# symbols/<file>.debug, which the stripped binary names in its debug link;
# after the ZIP is made, cmake/PackageSymbols.cmake puts these files in
# <package>-symbols.zip, laid out so that unpacking it over the package puts
# each .debug file beside its binary, where debuggers look for it.
set(TARNSTUB_STRIPPED_DIR ${CMAKE_BINARY_DIR}/stripped)
set(TARNSTUB_SYMBOLS_DIR ${CMAKE_BINARY_DIR}/symbols)
set(stripped_files)
foreach(target TarnStub GANTRY TarnRefServer TarnRefClient TarnRefServerExe TarnProxy sample_blade)
  get_target_property(type ${target} TYPE)
  get_target_property(name ${target} OUTPUT_NAME)
  if(NOT name)
    set(name ${target})
  endif()
  if(type STREQUAL "EXECUTABLE")
    set(file ${name}.exe)
  else()
    set(file ${name}.dll)
  endif()
  set(stripped ${TARNSTUB_STRIPPED_DIR}/${file})
  set(debug ${TARNSTUB_SYMBOLS_DIR}/${file}.debug)
  add_custom_command(OUTPUT ${stripped} ${debug}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${TARNSTUB_STRIPPED_DIR} ${TARNSTUB_SYMBOLS_DIR}
    COMMAND ${CMAKE_OBJCOPY} --only-keep-debug $<TARGET_FILE:${target}> ${debug}
    COMMAND ${CMAKE_STRIP} --strip-unneeded -o ${stripped} $<TARGET_FILE:${target}>
    COMMAND ${CMAKE_OBJCOPY} --add-gnu-debuglink=${debug} ${stripped}
    DEPENDS ${target}
    COMMENT "Stripping ${file}"
    VERBATIM)
  list(APPEND stripped_files ${stripped})
endforeach()
add_custom_target(tarnstub_stripped ALL DEPENDS ${stripped_files})

install(FILES ${stripped_files} DESTINATION bin)
# Import libraries; GANTRY.dll and TarnProxy.dll are loaded at run time and
# nothing links against them.
install(TARGETS TarnStub TarnRefServer TarnRefClient ARCHIVE DESTINATION lib)
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
set(CPACK_TARNSTUB_SYMBOLS_DIR ${TARNSTUB_SYMBOLS_DIR})
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/PackageSymbols.cmake)
include(CPack)

# Checks of the built binaries that need no Windows to run, in every build
# tree (the i686 one too: `ctest --preset i686`):
#   dll_tables_*      exactly the exports of the .def file, imports from
#                     Windows system DLLs only
#   import_library_*  an MSVC-style link of a C consumer against the import
#                     library (/safeseh for i686)
#   pdb_*             the PDB matches its binary and lists the exports (or
#                     the entry function) with source lines; i686: the
#                     exception frame registration is linked in
# scripts/check-package.sh runs the same checks on the package.
set(TARNSTUB_SYSTEM_DLLS kernel32.dll msvcrt.dll ole32.dll oleaut32.dll advapi32.dll shlwapi.dll)
set(arch ${CMAKE_SYSTEM_PROCESSOR})

add_test(NAME dll_tables_${arch} COMMAND ${PROJECT_SOURCE_DIR}/scripts/check-dll-tables.sh
  ${TARNSTUB_OBJDUMP} $<TARGET_FILE:TarnStub> ${PROJECT_SOURCE_DIR}/src/stub/TarnStub.def
  ${TARNSTUB_SYSTEM_DLLS})
# The reference server's client library and proxy/stub DLL: exactly their
# .def exports, system imports only (they ship beside a blade's tests).
add_test(NAME dll_tables_refclient_${arch} COMMAND ${PROJECT_SOURCE_DIR}/scripts/check-dll-tables.sh
  ${TARNSTUB_OBJDUMP} $<TARGET_FILE:TarnRefClient> ${PROJECT_SOURCE_DIR}/refserver/client/TarnRefClient.def
  ${TARNSTUB_SYSTEM_DLLS})
add_test(NAME dll_tables_proxy_${arch} COMMAND ${PROJECT_SOURCE_DIR}/scripts/check-dll-tables.sh
  ${TARNSTUB_OBJDUMP} $<TARGET_FILE:TarnProxy> ${PROJECT_SOURCE_DIR}/refserver/proxy/TarnProxy.def
  ${TARNSTUB_SYSTEM_DLLS} rpcrt4.dll)

if(NOT TARNSTUB_CLANG)
  return()  # GCC's import libraries and DWARF are what these checks refuse
endif()

foreach(entry TarnStub:src/stub/TarnStub.def TarnRefServer:refserver/TarnRefServer.def
              TarnRefClient:refserver/client/TarnRefClient.def)
  string(REPLACE ":" ";" entry ${entry})
  list(GET entry 0 target)
  list(GET entry 1 def)
  add_test(NAME import_library_${target}_${arch}
    COMMAND ${PROJECT_SOURCE_DIR}/scripts/check-import-library.sh ${arch}
            $<TARGET_LINKER_FILE:${target}> ${PROJECT_SOURCE_DIR}/${def})
endforeach()

foreach(entry TarnStub:src/stub/TarnStub.def GANTRY:gantry/GANTRY.def
              TarnRefServer:refserver/TarnRefServer.def TarnRefClient:refserver/client/TarnRefClient.def
              TarnProxy:refserver/proxy/TarnProxy.def TarnRefServerExe:wWinMain sample_blade:main)
  string(REPLACE ":" ";" entry ${entry})
  list(GET entry 0 target)
  list(GET entry 1 names)
  if(EXISTS ${PROJECT_SOURCE_DIR}/${names})
    set(names ${PROJECT_SOURCE_DIR}/${names})
  endif()
  set(frames)
  # Only the C++ binaries throw; TarnProxy.dll is C.
  if(arch STREQUAL "i686" AND NOT target STREQUAL "TarnProxy")
    set(frames --i686-frames)
  endif()
  get_target_property(pdb ${target} TARNSTUB_PDB)
  add_test(NAME pdb_${target}_${arch}
    COMMAND ${PROJECT_SOURCE_DIR}/scripts/check-pdb.sh ${frames} --build-path ${PROJECT_SOURCE_DIR}
            $<TARGET_FILE:${target}> ${pdb} ${names})
endforeach()

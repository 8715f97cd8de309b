# The stub's sources are compiled into one static library per subsystem group;
# TarnStub.dll adds the DLL entry point and the export table. Tests that need
# the internal hooks of a library link it statically; everything else goes
# through the DLL, as a blade does. SYSTEM names the Windows import
# libraries the group's own code (and its headers' inline code) calls.
function(tarnstub_library name)
  cmake_parse_arguments(ARG "" "" "DIRS;LIBS;SYSTEM" ${ARGN})
  set(sources)
  foreach(dir ${ARG_DIRS})
    file(GLOB dir_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/${dir}/*.cpp)
    list(APPEND sources ${dir_sources})
  endforeach()
  list(FILTER sources EXCLUDE REGEX "/src/stub/DllMain\\.cpp$")
  add_library(${name} STATIC ${sources})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/include)
  target_compile_definitions(${name} PUBLIC
    TARNSTUB_VERSION_TEXT="${TARNSTUB_VERSION_DIGITS}" "TARNSTUB_API=")
  target_link_libraries(${name} PUBLIC ${ARG_LIBS} ${ARG_SYSTEM} PRIVATE tarnstub_build_options)
endfunction()

# win/raii.h's owners call ole32 and oleaut32 from its inline code.
tarnstub_library(tarnstub_win DIRS win SYSTEM ole32 oleaut32 advapi32)
tarnstub_library(tarnstub_log DIRS log LIBS tarnstub_win SYSTEM shlwapi advapi32)
# The server's interfaces and identifiers, generated from the IDL.
tarn_widl(${PROJECT_SOURCE_DIR}/src/server/TarnServer.idl TarnServerIdl)
add_custom_target(tarn_server_idl DEPENDS ${TarnServerIdl_HEADER} ${TarnServerIdl_IDS} ${TarnServerIdl_PROXY})
add_library(tarnstub_server STATIC ${TarnServerIdl_IDS} ${TarnServerIdl_HEADER})
add_dependencies(tarnstub_server tarn_server_idl)
target_include_directories(tarnstub_server PUBLIC ${PROJECT_SOURCE_DIR}/src ${TARN_GENERATED_DIR})
target_link_libraries(tarnstub_server PRIVATE tarnstub_build_options)
tarnstub_library(tarnstub_records DIRS records LIBS tarnstub_log SYSTEM oleaut32)
tarnstub_library(tarnstub_comsec DIRS comsec LIBS tarnstub_server tarnstub_log tarnstub_win SYSTEM ole32 oleaut32 advapi32 uuid)
tarnstub_library(tarnstub_core DIRS stub adaptor notify
  LIBS tarnstub_records tarnstub_comsec tarnstub_server tarnstub_log tarnstub_win SYSTEM ole32 oleaut32 uuid)

add_library(TarnStub SHARED
  ${PROJECT_SOURCE_DIR}/src/stub/DllMain.cpp
  ${PROJECT_SOURCE_DIR}/src/stub/TarnStub.def)
set_target_properties(TarnStub PROPERTIES PREFIX "" OUTPUT_NAME "TarnStub"
  IMPORT_PREFIX "" IMPORT_SUFFIX ".lib")
target_link_libraries(TarnStub PRIVATE
  "$<LINK_LIBRARY:WHOLE_ARCHIVE,tarnstub_core>" tarnstub_build_options)
tarnstub_pdb(TarnStub)
target_include_directories(TarnStub PRIVATE ${PROJECT_SOURCE_DIR}/src)

# What a blade links: the import library and the public header.
target_include_directories(TarnStub INTERFACE
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include> $<INSTALL_INTERFACE:include>)
target_link_libraries(TarnStub INTERFACE oleaut32)
add_library(TarnStub::TarnStub ALIAS TarnStub)

# A VERSIONINFO resource for a DLL of the product. Its build number is the
# version text the adaptor log's banner shows.
function(tarnstub_version_resource target fileName description)
  set(TARN_RC_FILE_NAME ${fileName})
  set(TARN_RC_DESCRIPTION ${description})
  configure_file(${PROJECT_SOURCE_DIR}/cmake/VersionInfo.rc.in
    ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc @ONLY)
  target_sources(${target} PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
endfunction()

tarnstub_version_resource(TarnStub TarnStub.dll "TarnStub client adaptor for blades")

# TarnProxy.dll: the proxy/stub code widl generates for the Tarn server's
# interfaces and the control interface. regsvr32 (or TarnRef_RegisterServer)
# registers every interface's ProxyStubClsid32. It belongs to the reference
# server's side: the adaptor never loads or registers it.
set(gen ${TARN_GENERATED_DIR})
add_custom_command(OUTPUT ${gen}/dlldata.c
  COMMAND ${TARN_WIDL} --dlldata-only -o dlldata.c ${TarnServerIdl_PROXY_NAME} ${TarnRefControlIdl_PROXY_NAME}
  WORKING_DIRECTORY ${gen}
  DEPENDS ${TarnServerIdl_PROXY} ${TarnRefControlIdl_PROXY}
  COMMENT "widl dlldata.c" VERBATIM)
set(proxy_sources ${TarnServerIdl_PROXY} ${TarnServerIdl_IDS}
  ${TarnRefControlIdl_PROXY} ${TarnRefControlIdl_IDS} ${gen}/dlldata.c)
add_library(TarnProxy SHARED ${proxy_sources} ${CMAKE_CURRENT_LIST_DIR}/TarnProxy.def)
add_dependencies(TarnProxy tarn_server_idl)
set_target_properties(TarnProxy PROPERTIES PREFIX "" OUTPUT_NAME "TarnProxy"
  IMPORT_PREFIX "" IMPORT_SUFFIX ".lib")
target_include_directories(TarnProxy PRIVATE ${gen})
# Generated code: its warnings are not ours to fix. ProxyDecls.h declares what
# mingw-w64's headers lack.
set_source_files_properties(${proxy_sources} PROPERTIES
  COMPILE_OPTIONS "-w;-include;${CMAKE_CURRENT_LIST_DIR}/ProxyDecls.h")
# The proxy/stub class of its own, {8C49975A-298E-4A60-AB5D-BC32850A9088},
# rather than the first interface's id.
target_compile_definitions(TarnProxy PRIVATE REGISTER_PROXY_DLL
  "PROXY_CLSID_IS={0x8c49975a,0x298e,0x4a60,{0xab,0x5d,0xbc,0x32,0x85,0x0a,0x90,0x88}}")
target_link_libraries(TarnProxy PRIVATE rpcrt4 ole32 oleaut32 uuid tarnstub_build_options)
tarnstub_pdb(TarnProxy)
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  target_link_options(TarnProxy PRIVATE -Wl,--enable-stdcall-fixup)
endif()
tarnstub_version_resource(TarnProxy TarnProxy.dll "Tarn reference server proxy/stub")

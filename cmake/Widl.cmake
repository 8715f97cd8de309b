# Interface definitions compiled with widl (Debian's wine64-tools; the
# standard IDL imports come from libwine-dev). Each IDL gives, in
# ${CMAKE_BINARY_DIR}/generated:
#   <name>.h     the C and C++ declarations
#   <name>_i.c   the interface and class identifiers
#   <idl>_p.c    the proxy/stub code (built into TarnProxy.dll only), named
#                after the IDL file as widl names it, as dlldata.c expects
# The proxy code depends on the pointer size, hence -m32/-m64 per build.
find_program(TARN_WIDL widl REQUIRED)
set(TARN_WIDL_INCLUDE /usr/include/wine/wine/windows CACHE PATH "Folder of the standard IDL files")
set(TARN_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)
file(MAKE_DIRECTORY ${TARN_GENERATED_DIR})

# tarn_widl(<idl file> <name>): sets <name>_HEADER, <name>_IDS and <name>_PROXY
# in the caller's scope to the generated files, and <name>_PROXY_NAME to the
# name dlldata.c knows the proxy code by.
function(tarn_widl idl name)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(bits -m32)
  else()
    set(bits -m64)
  endif()
  set(out ${TARN_GENERATED_DIR})
  get_filename_component(idl_name ${idl} NAME_WE)
  add_custom_command(
    OUTPUT ${out}/${name}.h ${out}/${name}_i.c ${out}/${idl_name}_p.c
    COMMAND ${TARN_WIDL} -I${TARN_WIDL_INCLUDE} ${bits} -Oif
            -h -H ${name}.h -u -U ${name}_i.c -p ${idl}
    WORKING_DIRECTORY ${out}
    MAIN_DEPENDENCY ${idl}
    COMMENT "widl ${name}"
    VERBATIM)
  set(${name}_HEADER ${out}/${name}.h PARENT_SCOPE)
  set(${name}_IDS ${out}/${name}_i.c PARENT_SCOPE)
  set(${name}_PROXY ${out}/${idl_name}_p.c PARENT_SCOPE)
  set(${name}_PROXY_NAME ${idl_name} PARENT_SCOPE)
endfunction()

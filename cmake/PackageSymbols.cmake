# Run by CPack after it made the package: writes <package>-symbols.zip beside
# each package file, holding <top>/bin/<file>.debug for the stripped binaries
# in the package (<top> is the package's own top directory).
file(GLOB debug_files "${CPACK_TARNSTUB_SYMBOLS_DIR}/*.debug")
if(NOT debug_files)
  message(FATAL_ERROR "No debug information in ${CPACK_TARNSTUB_SYMBOLS_DIR}")
endif()
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  get_filename_component(directory "${package}" DIRECTORY)
  get_filename_component(top "${package}" NAME_WLE)
  set(staging "${directory}/symbols")
  file(REMOVE_RECURSE "${staging}")
  file(COPY ${debug_files} DESTINATION "${staging}/${top}/bin")
  # The package files are still in CPack's work area; the archive goes where
  # the package will be.
  set(archive "${CPACK_PACKAGE_DIRECTORY}/${top}-symbols.zip")
  file(REMOVE "${archive}")
  execute_process(COMMAND "${CMAKE_COMMAND}" -E tar cf "${archive}" --format=zip "${top}"
    WORKING_DIRECTORY "${staging}" RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "Cannot write ${archive}")
  endif()
  message(STATUS "Symbols archive: ${archive}")
endforeach()

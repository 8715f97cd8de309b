# Tests run the x86_64 build under Wine, in a private prefix inside the build
# tree. CTest runs every test case in a process of its own: the stub keeps
# process-wide state.
set(TARNSTUB_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
configure_file(${PROJECT_SOURCE_DIR}/scripts/wine-run.sh.in
  ${CMAKE_BINARY_DIR}/wine-run @ONLY FILE_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run)
configure_file(${PROJECT_SOURCE_DIR}/scripts/wine-session.sh.in
  ${CMAKE_BINARY_DIR}/wine-session @ONLY FILE_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

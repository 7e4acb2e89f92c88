# The pinned programs: the desktop-file parser in process, the favourites
# through real GSettings in vandrel_pinned_probe (GLib reads its environment once).
add_executable(vandrel_pinned_probe ${CMAKE_CURRENT_LIST_DIR}/PinnedAppsProbe.cpp)
target_link_libraries(vandrel_pinned_probe PRIVATE vandrel_desktop_platform Threads::Threads vandrel_warnings)
add_dependencies(vandrel_unit_tests vandrel_pinned_probe)
target_sources(vandrel_unit_tests PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/DesktopEntryTest.cpp
  ${CMAKE_CURRENT_LIST_DIR}/PinnedAppsTest.cpp)
target_link_libraries(vandrel_unit_tests PRIVATE vandrel_desktop_platform)
set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/PinnedAppsTest.cpp TARGET_DIRECTORY vandrel_unit_tests
  PROPERTIES COMPILE_DEFINITIONS "VANDREL_PINNED_PROBE=\"$<TARGET_FILE:vandrel_pinned_probe>\"")

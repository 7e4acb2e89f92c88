# The pinned programs: GNOME's favourites through GSettings, resolved by hand
# through desktop files and the hicolor icon theme.
find_package(PkgConfig REQUIRED)
pkg_check_modules(GIO REQUIRED IMPORTED_TARGET gio-2.0)
target_sources(vandrel_desktop_platform PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/PinnedApps.cpp
  ${CMAKE_CURRENT_LIST_DIR}/DesktopEntry.cpp
  ${CMAKE_CURRENT_LIST_DIR}/XdgLookup.cpp)
target_link_libraries(vandrel_desktop_platform PRIVATE PkgConfig::GIO)

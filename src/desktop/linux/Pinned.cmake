# The pinned programs: GNOME's favourites through GSettings, resolved by hand
# through desktop files and the hicolor icon theme. A mechanism: it joins the
# platform library where there is one, so that only it needs gio.
find_package(PkgConfig REQUIRED)
pkg_check_modules(GIO REQUIRED IMPORTED_TARGET gio-2.0)
if(TARGET vandrel_desktop_platform)
  set(vandrel_pinned_target vandrel_desktop_platform)
else()
  set(vandrel_pinned_target vandrel_desktop_platform)
endif()
target_sources(${vandrel_pinned_target} PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/PinnedApps.cpp
  ${CMAKE_CURRENT_LIST_DIR}/DesktopEntry.cpp
  ${CMAKE_CURRENT_LIST_DIR}/XdgLookup.cpp)
target_link_libraries(${vandrel_pinned_target} PRIVATE PkgConfig::GIO)

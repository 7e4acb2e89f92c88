# The task switcher on X11: windows from the EWMH window manager, icons as PNG.
find_package(X11 REQUIRED)
find_package(PNG REQUIRED)
target_sources(vandrel_desktop_platform PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/IconPng.cpp
  ${CMAKE_CURRENT_LIST_DIR}/TextCodec.cpp
  ${CMAKE_CURRENT_LIST_DIR}/X11Session.cpp
  ${CMAKE_CURRENT_LIST_DIR}/X11Windows.cpp
)
target_link_libraries(vandrel_desktop_platform PRIVATE X11::X11 PNG::PNG)

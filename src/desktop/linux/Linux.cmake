# The Linux desktop put together, and the programs it starts.
target_sources(vandrel_desktop_platform PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/LinuxDesktop.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Programs.cpp
)
# The laser spot: an ARGB override-redirect window, click-through (XFIXES) and shaped (SHAPE).
target_sources(vandrel_desktop_platform PRIVATE ${CMAKE_CURRENT_LIST_DIR}/X11LaserWindow.cpp)
find_package(X11 REQUIRED)
target_link_libraries(vandrel_desktop_platform PRIVATE X11::X11 X11::Xfixes X11::Xext)

# The Windows desktop: windows and icons, taskbar pins, switching, launching and media keys.
target_sources(vandrel_desktop_platform PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/WindowsDesktop.cpp
  ${CMAKE_CURRENT_LIST_DIR}/WindowsAppList.cpp
  ${CMAKE_CURRENT_LIST_DIR}/WindowsIcons.cpp
  ${CMAKE_CURRENT_LIST_DIR}/WindowsPinned.cpp
  ${CMAKE_CURRENT_LIST_DIR}/WindowsSmartMediaKeys.cpp
)
target_link_libraries(vandrel_desktop_platform PRIVATE gdiplus ole32 uuid shell32 user32 gdi32 advapi32)
# The laser spot: a layered click-through window drawn with GDI+.
target_sources(vandrel_desktop_platform PRIVATE ${CMAKE_CURRENT_LIST_DIR}/WindowsLaserWindow.cpp)

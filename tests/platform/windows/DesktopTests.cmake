target_sources(vandrel_unit_tests PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/WindowsDesktopTest.cpp
  ${CMAKE_CURRENT_LIST_DIR}/WindowsAppListTest.cpp
  ${CMAKE_CURRENT_LIST_DIR}/WindowsLaserTest.cpp
)
target_link_libraries(vandrel_unit_tests PRIVATE vandrel_desktop_platform ole32 uuid shell32 user32 gdi32 advapi32)

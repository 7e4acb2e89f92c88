# The task switcher on X11 (its own Xvfb and openbox) and the icon encoder.
find_package(PNG REQUIRED)
target_sources(vandrel_unit_tests PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/IconPngTest.cpp
  ${CMAKE_CURRENT_LIST_DIR}/X11WindowsTest.cpp
)
target_link_libraries(vandrel_unit_tests PRIVATE vandrel_desktop_platform PNG::PNG X11::X11)
# The laser spot's window on $DISPLAY (skipped without one).
target_sources(vandrel_unit_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}/X11LaserTest.cpp)
target_link_libraries(vandrel_unit_tests PRIVATE X11::Xtst)

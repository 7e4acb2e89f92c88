# The Linux desktop put together, and the programs it starts.
target_sources(vandrel_desktop_platform PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/LinuxDesktop.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Programs.cpp
)

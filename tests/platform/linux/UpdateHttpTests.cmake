# The updater's libcurl client against local HTTP and HTTPS servers (python3, openssl).
target_sources(vandrel_unit_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}/CurlHttpClientTest.cpp)
target_link_libraries(vandrel_unit_tests PRIVATE vandrel_update)

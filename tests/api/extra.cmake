# How often each road decodes a PKCS#7: an executable of its own, since it
# counts every d2i_PKCS7 of the process (tests/api/decodes).
file(GLOB ZMR_API_DECODES_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/decodes/*.cpp)
add_executable(test_api_decodes ${ZMR_API_DECODES_SOURCES})
target_link_libraries(test_api_decodes PRIVATE zmr_testsupport GTest::gtest_main ${CMAKE_DL_LIBS})
gtest_discover_tests(test_api_decodes DISCOVERY_TIMEOUT 120 PROPERTIES LABELS "api;signedobjects" TIMEOUT 300)

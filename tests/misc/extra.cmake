# Start-up and key-file loading with allocations failing one at a time
# (tests/allocfail). Its own executable: the failing allocator must be
# installed before OpenSSL allocates anything, and each test needs a process
# of its own (ctest runs every test in a fresh one).
file(GLOB ZMR_MISC_ALLOCFAIL_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/allocfail/*.cpp)
add_executable(test_misc_allocfail ${ZMR_MISC_ALLOCFAIL_SOURCES})
target_link_libraries(test_misc_allocfail PRIVATE zmr_allocfail)
# The sweeps are the longest tests: a high cost makes ctest start them first.
gtest_discover_tests(test_misc_allocfail DISCOVERY_TIMEOUT 120 PROPERTIES LABELS "misc" TIMEOUT 1500 COST 500)

# The layer check must catch an include planted against the floors.
add_test(NAME layering_selftest COMMAND ${CMAKE_CURRENT_LIST_DIR}/check_layering.sh --selftest ${CMAKE_SOURCE_DIR}/src)
set_tests_properties(layering_selftest PROPERTIES LABELS misc)

# The status-code table, zmr.h and the sources agree.
add_test(NAME statuscodes COMMAND ${CMAKE_CURRENT_LIST_DIR}/check_statuscodes.sh ${CMAKE_SOURCE_DIR})
set_tests_properties(statuscodes PROPERTIES LABELS misc)

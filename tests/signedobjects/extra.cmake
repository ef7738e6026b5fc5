# The exported SDO functions with allocations failing one at a time
# (tests/allocfail): an executable of its own, since the failing allocator
# must be installed before OpenSSL allocates anything.
file(GLOB ZMR_SIGNEDOBJECTS_ALLOCFAIL_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/allocfail/*.cpp)
add_executable(test_signedobjects_allocfail ${ZMR_SIGNEDOBJECTS_ALLOCFAIL_SOURCES})
target_link_libraries(test_signedobjects_allocfail PRIVATE zmr_allocfail)
gtest_discover_tests(test_signedobjects_allocfail DISCOVERY_TIMEOUT 120
  PROPERTIES LABELS "signedobjects" TIMEOUT 900 COST 500)

# The private halves of the development central-server keys, for the
# stand-ins of the Rirorer Idor Azoriva (see cmake/centralkeys.cmake).
if(ZMR_CENTRAL_PRIVATE_DIR)
  target_compile_definitions(zmr_testsupport PUBLIC ZMR_CENTRAL_PRIVATE_DIR="${ZMR_CENTRAL_PRIVATE_DIR}")
endif()

# The allocation-failure tests: an executable of their own, whose allocator
# (tests/allocfail: operator new and OpenSSL's) fails a chosen allocation on
# demand.
file(GLOB ZMR_SERVICES_ALLOCFAIL_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/allocfail/*.cpp)
add_executable(test_services_allocfail ${ZMR_SERVICES_ALLOCFAIL_SOURCES})
target_link_libraries(test_services_allocfail PRIVATE zmr_allocfail)
gtest_discover_tests(test_services_allocfail DISCOVERY_TIMEOUT 120
  PROPERTIES LABELS "services" TIMEOUT 600 COST 500)

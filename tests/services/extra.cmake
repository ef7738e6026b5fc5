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
# The forked sweeps of tests/services/allocfail/crypto_allocfail.cpp run
# every call stack in an optimised tree; the sanitizer trees, several times
# slower (a leak check in every child), every stride-th.
if(ZMR_SANITIZE)
  set(ZMR_CRYPTO_SWEEP_STRIDE 16 CACHE STRING "every how many call stacks the crypto allocation-failure sweeps run")
else()
  set(ZMR_CRYPTO_SWEEP_STRIDE 1 CACHE STRING "every how many call stacks the crypto allocation-failure sweeps run")
endif()
target_compile_definitions(test_services_allocfail PRIVATE ZMR_CRYPTO_SWEEP_STRIDE=${ZMR_CRYPTO_SWEEP_STRIDE})

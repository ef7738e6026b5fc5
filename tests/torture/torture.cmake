# The allocation-failure torture (tests/torture): an executable of its own
# over the failing allocator of tests/allocfail. The warm sweep is split
# into ZMR_TORTURE_SHARDS ctest tests that run side by side; the cold sweep
# (from the process's first call) is a test of its own, in a fresh process.
set(ZMR_TORTURE_SHARDS 8 CACHE STRING "ctest tests the warm allocation-failure torture is split into")
set(ZMR_TORTURE_COLD_SHARDS 4 CACHE STRING "ctest tests the cold allocation-failure torture is split into")
file(GLOB ZMR_TORTURE_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/*.cpp)
add_executable(test_torture ${ZMR_TORTURE_SOURCES})
target_link_libraries(test_torture PRIVATE zmr_allocfail)
foreach(kind warm cold)
  if(kind STREQUAL "warm")
    set(shards ${ZMR_TORTURE_SHARDS})
    set(filter Torture.EveryAllocationOfAWarmSequence)
  else()
    set(shards ${ZMR_TORTURE_COLD_SHARDS})
    set(filter Torture.EveryAllocationFromTheProcessFirstCall)
  endif()
  math(EXPR last "${shards} - 1")
  foreach(i RANGE ${last})
    add_test(NAME torture_${kind}_${i}of${shards} COMMAND test_torture --gtest_filter=${filter})
    set_tests_properties(torture_${kind}_${i}of${shards} PROPERTIES
      ENVIRONMENT "ZMR_TORTURE_SHARD=${i}/${shards}" LABELS "torture" TIMEOUT 1500)
  endforeach()
endforeach()

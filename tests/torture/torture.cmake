# The allocation-failure torture (tests/torture): an executable of its own
# over the failing allocator of tests/allocfail. Each sweep is split into
# shards, ctest tests that run side by side, each in a fresh process (the
# cold sweep must start in one). A stride s runs every s-th n only: shard i
# of k runs the n with index i modulo k * s. The defaults run every n of
# the warm sequence in an optimised tree; sanitizer trees, several times
# slower, a part (see tests/torture/README.md for the times).
set(ZMR_TORTURE_SHARDS 8 CACHE STRING "ctest tests the warm allocation-failure torture is split into")
set(ZMR_TORTURE_COLD_SHARDS 4 CACHE STRING "ctest tests the cold allocation-failure torture is split into")
if(ZMR_SANITIZE)
  set(ZMR_TORTURE_STRIDE 64 CACHE STRING "every how many n the warm torture runs")
  set(ZMR_TORTURE_COLD_STRIDE 512 CACHE STRING "every how many n the cold torture runs")
else()
  set(ZMR_TORTURE_STRIDE 4 CACHE STRING "every how many n the warm torture runs")
  set(ZMR_TORTURE_COLD_STRIDE 16 CACHE STRING "every how many n the cold torture runs")
endif()
file(GLOB ZMR_TORTURE_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/*.cpp)
add_executable(test_torture ${ZMR_TORTURE_SOURCES})
target_link_libraries(test_torture PRIVATE zmr_allocfail)
foreach(kind warm cold)
  if(kind STREQUAL "warm")
    set(shards ${ZMR_TORTURE_SHARDS})
    math(EXPR of "${ZMR_TORTURE_SHARDS} * ${ZMR_TORTURE_STRIDE}")
    set(filter Torture.EveryAllocationOfAWarmSequence)
    set(label torture)
  else()
    set(shards ${ZMR_TORTURE_COLD_SHARDS})
    math(EXPR of "${ZMR_TORTURE_COLD_SHARDS} * ${ZMR_TORTURE_COLD_STRIDE}")
    set(filter Torture.EveryAllocationFromTheProcessFirstCall)
    set(label torture-cold)
  endif()
  math(EXPR last "${shards} - 1")
  foreach(i RANGE ${last})
    add_test(NAME torture_${kind}_${i}of${of} COMMAND test_torture --gtest_filter=${filter})
    set_tests_properties(torture_${kind}_${i}of${of} PROPERTIES
      ENVIRONMENT "ZMR_TORTURE_SHARD=${i}/${of}" LABELS "${label}" TIMEOUT 1500 COST 1000)
  endforeach()
endforeach()

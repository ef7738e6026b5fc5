# The private halves of the development central-server keys, for the
# stand-ins of the Rirorer Idor Azoriva (see cmake/centralkeys.cmake).
if(ZMR_CENTRAL_PRIVATE_DIR)
  target_compile_definitions(zmr_testsupport PUBLIC ZMR_CENTRAL_PRIVATE_DIR="${ZMR_CENTRAL_PRIVATE_DIR}")
endif()

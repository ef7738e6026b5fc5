# The fake PKCS#11 driver (tests/hsm/fakep11.cpp), built once in full and
# once per entry point with that entry point left out of its exports, for
# drivers that lack one. Tests find them through ZMR_FAKEP11_PATH and
# ZMR_FAKEP11_DIR (libzmr_fakep11_no_<function>.so).
set(ZMR_FAKEP11_FUNCTIONS C_Initialize C_Finalize C_OpenSession C_Login C_Logout C_CloseSession
  C_SignInit C_Sign C_FindObjectsInit C_FindObjects C_FindObjectsFinal C_GetSlotList
  C_DecryptInit C_Decrypt C_CreateObject)
set(ZMR_FAKEP11_DIR ${CMAKE_CURRENT_BINARY_DIR}/fakep11)

add_library(zmr_fakep11_obj OBJECT ${CMAKE_CURRENT_LIST_DIR}/fakep11.cpp)
set_target_properties(zmr_fakep11_obj PROPERTIES POSITION_INDEPENDENT_CODE ON)

function(zmr_fakep11_variant name)  # further arguments: entry points left out
  set(exported ${ZMR_FAKEP11_FUNCTIONS})
  if(ARGN)
    list(REMOVE_ITEM exported ${ARGN})
  endif()
  list(JOIN exported ";\n    " body)
  set(map ${ZMR_FAKEP11_DIR}/${name}.map)
  file(WRITE ${map} "{\n  global:\n    ${body};\n    fakep11_*;\n  local: *;\n};\n")
  add_library(${name} SHARED $<TARGET_OBJECTS:zmr_fakep11_obj>)
  set_target_properties(${name} PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${ZMR_FAKEP11_DIR} LINK_DEPENDS ${map})
  target_link_options(${name} PRIVATE -Wl,--version-script=${map})
  add_dependencies(zmr_testsupport ${name})
endfunction()

zmr_fakep11_variant(zmr_fakep11)
foreach(fn ${ZMR_FAKEP11_FUNCTIONS})
  zmr_fakep11_variant(zmr_fakep11_no_${fn} ${fn})
endforeach()
# Two gaps at once: the first one in loading order decides the code.
zmr_fakep11_variant(zmr_fakep11_no_C_FindObjectsFinal_C_GetSlotList C_FindObjectsFinal C_GetSlotList)

target_compile_definitions(zmr_testsupport PUBLIC
  ZMR_FAKEP11_PATH="$<TARGET_FILE:zmr_fakep11>"
  ZMR_FAKEP11_DIR="${ZMR_FAKEP11_DIR}")

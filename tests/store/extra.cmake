# Hosts of the shared library, run by tests/store/threadexit_test.cpp: a
# plain C one calling from thread-exit destructors and atexit handlers, and
# one whose allocator fails while a thread first uses the library.
add_executable(threadexit_host ${CMAKE_CURRENT_LIST_DIR}/threadexit_host.c)
set_target_properties(threadexit_host PROPERTIES C_STANDARD 99 C_STANDARD_REQUIRED ON C_EXTENSIONS OFF)
add_executable(firsttouch_oom ${CMAKE_CURRENT_LIST_DIR}/firsttouch_oom.cpp)
# Its allocator runs while the sanitizer starts up, before instrumented code
# may run; the library it drives keeps its instrumentation.
if(ZMR_SANITIZE)
  target_compile_options(firsttouch_oom PRIVATE -fno-sanitize=all)
endif()
foreach(host threadexit_host firsttouch_oom)
  target_link_libraries(${host} PRIVATE zmr Threads::Threads ${CMAKE_DL_LIBS})
  add_dependencies(zmr_testsupport ${host})
endforeach()
target_compile_definitions(zmr_testsupport PUBLIC
  ZMR_THREADEXIT_HOST="$<TARGET_FILE:threadexit_host>"
  ZMR_FIRSTTOUCH_OOM="$<TARGET_FILE:firsttouch_oom>")

# Nothing writable is shared between threads unless it is meant to be.
add_test(NAME writable_state
  COMMAND ${CMAKE_COMMAND} -DLIB=$<TARGET_FILE:kelvane> -P ${CMAKE_CURRENT_LIST_DIR}/check_writable_state.cmake)

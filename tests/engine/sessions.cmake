target_sources(kivo_engine_tests PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/running_command_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/session_test.cpp
)

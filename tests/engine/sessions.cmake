target_sources(kivo_engine_tests PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/running_command_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/session_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/session_render_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/session_text_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/session_history_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/session_save_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/session_fields_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/session_annotations_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/session_inspect_test.cpp
)

# Document sessions: running commands, loading, rendering, text, history, saving, fields,
# annotations and inspection.
target_sources(kivo_engine PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/running_command.cpp
  ${CMAKE_CURRENT_LIST_DIR}/png_writer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/session.cpp
  ${CMAKE_CURRENT_LIST_DIR}/session_render.cpp
  ${CMAKE_CURRENT_LIST_DIR}/session_text.cpp
  ${CMAKE_CURRENT_LIST_DIR}/session_history.cpp
  ${CMAKE_CURRENT_LIST_DIR}/session_save.cpp
  ${CMAKE_CURRENT_LIST_DIR}/session_fields.cpp
  ${CMAKE_CURRENT_LIST_DIR}/session_annotations.cpp
  ${CMAKE_CURRENT_LIST_DIR}/session_inspect.cpp
)
target_link_libraries(kivo_engine PUBLIC PNG::PNG)

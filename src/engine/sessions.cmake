# Document sessions: running commands, loading, rendering, text, history, saving, fields,
# annotations and inspection.
target_sources(kivo_engine PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/running_command.cpp
)

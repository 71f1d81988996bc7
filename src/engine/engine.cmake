# The command engine: recovery checkpoints, replay, the connection gate and the engine itself.
target_sources(kivo_engine PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/recovery_store.cpp
  ${CMAKE_CURRENT_LIST_DIR}/replay_table.cpp
  ${CMAKE_CURRENT_LIST_DIR}/connection_gate.cpp
  ${CMAKE_CURRENT_LIST_DIR}/render_folder.cpp
  ${CMAKE_CURRENT_LIST_DIR}/document_engine.cpp
  ${CMAKE_CURRENT_LIST_DIR}/engine_handlers.cpp
  ${CMAKE_CURRENT_LIST_DIR}/engine_edits.cpp
  ${CMAKE_CURRENT_LIST_DIR}/engine_save.cpp
  ${CMAKE_CURRENT_LIST_DIR}/engine_recovery.cpp
)

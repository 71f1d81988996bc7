# Tests of the command engine.
target_sources(kivo_engine_tests PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/recovery_store_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/replay_table_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/connection_gate_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/document_engine_test.cpp
)

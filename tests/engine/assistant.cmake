# The worker's assistant: context cutting, the local question planner, proposals and refusals.
target_sources(kivo_engine_tests PRIVATE
  assistant_context_test.cpp
  assistant_planner_test.cpp
  assistant_proposals_test.cpp
)

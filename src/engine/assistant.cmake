# The worker's assistant: context cutting, the local question planner, proposals and refusals.
target_sources(kivo_engine PRIVATE
  assistant_context.cpp
  assistant_planner.cpp
  assistant_proposals.cpp
  assistant_text.cpp
)

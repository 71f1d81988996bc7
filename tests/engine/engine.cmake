# target_sources(kivo_engine_tests PRIVATE ...)

# target_sources(kivo_engine PRIVATE ...)

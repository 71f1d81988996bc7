# Content overlays, form filling and page organisation.
target_sources(kivo_engine PRIVATE image_pixels.cpp)
target_link_libraries(kivo_engine PUBLIC PNG::PNG JPEG::JPEG)

# Content overlays, form filling and page organisation.
target_sources(kivo_engine PRIVATE image_pixels.cpp session_forms.cpp session_overlays.cpp session_pages.cpp)
target_link_libraries(kivo_engine PUBLIC PNG::PNG JPEG::JPEG)

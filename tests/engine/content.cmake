target_sources(kivo_engine_tests PRIVATE image_pixels_test.cpp session_forms_test.cpp session_overlays_test.cpp
                                         session_pages_test.cpp)

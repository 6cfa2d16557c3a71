# sources of screensaver/slides
target_sources(quol_saver_core PRIVATE slides/message_slide.cpp)
list(APPEND QUOL_SAVER_TEST_SOURCES slides/message_slide_test.cpp)

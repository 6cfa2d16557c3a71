# sources of screensaver/slides
target_sources(quol_saver_picture PRIVATE slides/message_slide.cpp)
list(APPEND QUOL_SAVER_PICTURE_TEST_SOURCES slides/message_slide_test.cpp)

# sources of screensaver/collage
target_sources(quol_saver_picture PRIVATE
  collage/collage.cpp
  collage/collage_generator.cpp
  collage/overlays.cpp
)
list(APPEND QUOL_SAVER_PICTURE_TEST_SOURCES
  collage/collage_generator_test.cpp
  collage/overlays_test.cpp
)

# sources of screensaver/photos
target_sources(quol_saver_picture PRIVATE
  photos/image_picker.cpp
  photos/feed_set.cpp
  photos/photo_decode.cpp
  photos/photo_image.cpp
  photos/photo_resample.cpp
  photos/photo_colour.cpp
  photos/photo_decode_heif.cpp
  photos/photo_decode_webp.cpp
  photos/photo_cache.cpp
)
# The photo cache keys its copies with libsodium's generic hash.
target_link_libraries(quol_saver_picture PRIVATE PkgConfig::SODIUM)
list(APPEND QUOL_SAVER_PICTURE_TEST_SOURCES
  photos/image_picker_test.cpp
  photos/feed_set_test.cpp
  photos/photo_image_test.cpp
  photos/photo_resample_test.cpp
  photos/photo_phone_formats_test.cpp
  photos/photo_cache_test.cpp
)

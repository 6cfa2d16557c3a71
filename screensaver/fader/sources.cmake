# sources of screensaver/fader (after x11/sources.cmake: its tests join
# saver_x11_tests, made there)
pkg_check_modules(QUOL_GL REQUIRED IMPORTED_TARGET GLOBAL gl)
target_sources(quol_saver_program PRIVATE
  fader/basic_fader.cpp
  fader/cross_fader.cpp
  fader/fader_support.cpp
  fader/frame_pacer.cpp
  fader/gl_cross_fader.cpp
  fader/software_cross_fader.cpp
  fader/window_image.cpp
)
target_link_libraries(quol_saver_program PRIVATE PkgConfig::QUOL_GL PkgConfig::QUOL_XRANDR)
list(APPEND QUOL_SAVER_PROGRAM_TEST_SOURCES fader/fader_support_test.cpp fader/frame_pacer_test.cpp)
if(BUILD_TESTING)
  target_sources(saver_x11_tests PRIVATE
    fader/basic_fader_test.cpp
    fader/gl_cross_fader_test.cpp
    fader/software_cross_fader_test.cpp
  )
  target_link_libraries(saver_x11_tests PRIVATE PkgConfig::QUOL_GL)
endif()

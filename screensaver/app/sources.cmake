# sources of screensaver/app: the program's logic in the library, main.cpp
# as the QuolScreensaver program (after x11/ and fader/, whose targets it uses)
pkg_check_modules(QUOL_XSS REQUIRED IMPORTED_TARGET xscrnsaver)
pkg_check_modules(QUOL_CAIRO_XLIB REQUIRED IMPORTED_TARGET cairo-xlib)
target_sources(quol_saver_program PRIVATE
  app/command_line.cpp
  app/message_loop.cpp
  app/saver_frame.cpp
  app/screen_capture.cpp
  app/slide_canvas.cpp
  app/slide_show.cpp
)
target_link_libraries(quol_saver_program PRIVATE PkgConfig::QUOL_XRANDR PkgConfig::QUOL_XEXT
  PkgConfig::QUOL_CAIRO_XLIB)
list(APPEND QUOL_SAVER_PROGRAM_TEST_SOURCES
  app/command_line_test.cpp
  app/message_loop_test.cpp
  app/saver_frame_test.cpp
  app/slide_canvas_test.cpp
  app/slide_show_test.cpp
)

add_executable(QuolScreensaver app/main.cpp)
target_compile_definitions(QuolScreensaver PRIVATE
  QUOL_VERSION_TEXT="${PROJECT_VERSION}")
# The settings pages (foundation/wizard) belong to the program, not to the
# picture layer.
target_link_libraries(QuolScreensaver PRIVATE quol_saver_program quol_platform_x11 quol_platform_gtk
  quol_wizard)

if(BUILD_TESTING)
  pkg_check_modules(QUOL_XTST REQUIRED IMPORTED_TARGET xtst)
  target_sources(saver_x11_tests PRIVATE app/saver_x11_test.cpp)
  target_link_libraries(saver_x11_tests PRIVATE PkgConfig::QUOL_XTST PkgConfig::QUOL_XSS
    quol_devservice_lib)
  # Preloaded into the saver by the hang tests: a photo whose open() never
  # returns, as on a hung network mount.
  add_library(quol_hung_open MODULE app/testing/hung_open.c)
  target_link_libraries(quol_hung_open PRIVATE ${CMAKE_DL_LIBS})
  if(QUOL_SANITIZE)
    # Loaded into a sanitized program, it needs no runtime of its own.
    target_compile_options(quol_hung_open PRIVATE -fno-sanitize=all)
    target_link_options(quol_hung_open PRIVATE -fno-sanitize=all)
  endif()
  add_dependencies(saver_x11_tests QuolScreensaver quol_hung_open)
  target_compile_definitions(saver_x11_tests PRIVATE
    QUOL_SAVER_BINARY="$<TARGET_FILE:QuolScreensaver>"
    QUOL_HUNG_OPEN_LIBRARY="$<TARGET_FILE:quol_hung_open>")
endif()

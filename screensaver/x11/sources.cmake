# sources of screensaver/x11: the X connection helpers, the Xvfb test helper
# (quol_x11_testing, for test programs and benchmarks) and saver_x11_tests,
# the test program of everything that needs an X server (label x11).
pkg_check_modules(QUOL_X11 REQUIRED IMPORTED_TARGET GLOBAL x11)
pkg_check_modules(QUOL_XEXT REQUIRED IMPORTED_TARGET GLOBAL xext)
pkg_check_modules(QUOL_XRANDR REQUIRED IMPORTED_TARGET GLOBAL xrandr)

target_sources(quol_saver_program PRIVATE x11/x_display.cpp)
target_link_libraries(quol_saver_program PUBLIC PkgConfig::QUOL_X11 PRIVATE PkgConfig::QUOL_XEXT)

add_library(quol_x11_testing STATIC x11/xvfb_server.cpp)
target_link_libraries(quol_x11_testing PUBLIC quol_saver_program PkgConfig::QUOL_X11)

if(BUILD_TESTING)
  quol_add_tests(saver_x11_tests
    SOURCES x11/x11_test.cpp x11/x_resources_test.cpp
    LIBS quol_saver_program quol_testing quol_x11_testing PkgConfig::QUOL_XRANDR
    LABELS x11)
endif()

# sources of screensaver/widgets
# The widgets draw text with Pango's fontconfig backend directly (the private
# font), which lives in pangoft2.
pkg_check_modules(PANGOFT2 REQUIRED IMPORTED_TARGET pangoft2)

target_sources(quol_saver_picture PRIVATE
  widgets/clock.cpp
  widgets/collage_widget_stack.cpp
  widgets/debug_info_widget.cpp
  widgets/font_registry.cpp
  widgets/image_widget.cpp
  widgets/pango_text.cpp
  widgets/png_resource.cpp
  widgets/session_status.cpp
  widgets/text_widget.cpp
  # The program's resource bundle (resources/CMakeLists.txt).
  $<TARGET_OBJECTS:quol_saver_resources>
)
target_link_libraries(quol_saver_picture PRIVATE PkgConfig::PANGOFT2)

list(APPEND QUOL_SAVER_PICTURE_TEST_SOURCES
  widgets/clock_test.cpp
  widgets/collage_widget_stack_test.cpp
  widgets/debug_info_widget_test.cpp
  widgets/font_registry_test.cpp
  widgets/png_resource_test.cpp
  widgets/session_status_test.cpp
  widgets/text_widget_test.cpp
)

# quol_client_windows: the splash, the progress window and the about box,
# with the client's pictures, start-up sound and font compiled in as a
# GResource bundle (drawn at build time, nothing binary in the tree).
find_program(QUOL_CLIENT_GLIB_COMPILE_RESOURCES glib-compile-resources REQUIRED)
pkg_check_modules(QUOL_CLIENT_ARTWORK REQUIRED IMPORTED_TARGET cairo pangocairo pangoft2 fontconfig)

add_executable(quol_client_artwork ${CMAKE_CURRENT_LIST_DIR}/artwork/client_artwork.cpp)
target_link_libraries(quol_client_artwork PRIVATE PkgConfig::QUOL_CLIENT_ARTWORK)
target_include_directories(quol_client_artwork PRIVATE ${PROJECT_SOURCE_DIR})

set(quol_client_windows_bundle ${CMAKE_CURRENT_BINARY_DIR}/windows_bundle)
set(quol_client_windows_art
  ${quol_client_windows_bundle}/Splash5000.png
  ${quol_client_windows_bundle}/Icon502.png
  ${quol_client_windows_bundle}/About102.png
  ${quol_client_windows_bundle}/Sound501.wav)
add_custom_command(
  OUTPUT ${quol_client_windows_art}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${quol_client_windows_bundle}
  COMMAND quol_client_artwork ${quol_client_windows_bundle} ${QUOL_PRIVATE_FONT_FILE}
  DEPENDS quol_client_artwork ${QUOL_PRIVATE_FONT_FILE}
  COMMENT "Drawing the desktop client's artwork"
  VERBATIM)
add_custom_command(
  OUTPUT ${quol_client_windows_bundle}/PrivateFont.otf
  COMMAND ${CMAKE_COMMAND} -E make_directory ${quol_client_windows_bundle}
  COMMAND ${CMAKE_COMMAND} -E copy ${QUOL_PRIVATE_FONT_FILE} ${quol_client_windows_bundle}/PrivateFont.otf
  DEPENDS ${QUOL_PRIVATE_FONT_FILE}
  VERBATIM)
# --manual-register: EnsureClientResourcesRegistered registers the bundle, so
# nothing hangs on a constructor the static linker might drop.
set(quol_client_windows_resources_c ${CMAKE_CURRENT_BINARY_DIR}/client_windows_resources.c)
add_custom_command(
  OUTPUT ${quol_client_windows_resources_c}
  COMMAND ${QUOL_CLIENT_GLIB_COMPILE_RESOURCES}
    --generate-source --manual-register --c-name quol_client_windows
    --sourcedir=${quol_client_windows_bundle}
    --target=${quol_client_windows_resources_c}
    ${CMAKE_CURRENT_LIST_DIR}/client_windows.gresource.xml
  DEPENDS ${CMAKE_CURRENT_LIST_DIR}/client_windows.gresource.xml ${quol_client_windows_art}
    ${quol_client_windows_bundle}/PrivateFont.otf
  COMMENT "Compiling the desktop client's resource bundle"
  VERBATIM)

add_library(quol_client_windows STATIC
  ${CMAKE_CURRENT_LIST_DIR}/client_resources.cpp
  ${CMAKE_CURRENT_LIST_DIR}/splash_window.cpp
  ${CMAKE_CURRENT_LIST_DIR}/progress_window.cpp
  ${CMAKE_CURRENT_LIST_DIR}/about_dialog.cpp
  ${quol_client_windows_resources_c})
target_link_libraries(quol_client_windows
  PUBLIC quol_foundation PkgConfig::QUOL_CLIENT_GTK
  PRIVATE PkgConfig::QUOL_CLIENT_ARTWORK)
# The generated bundle source is C from glib's tool; our warnings are not
# meant for it.
set_source_files_properties(${quol_client_windows_resources_c} PROPERTIES COMPILE_OPTIONS "-w")

if(BUILD_TESTING)
  quol_add_tests(client_windows_x11_tests
    SOURCES
      ${CMAKE_CURRENT_LIST_DIR}/client_windows_test.cpp
    LIBS quol_client_windows quol_testing
    LABELS x11)
  # Screenshots of the splash and the about box land here, for people to look at.
  target_compile_definitions(client_windows_x11_tests PRIVATE
    QUOL_SHOTS_DIR="${PROJECT_BINARY_DIR}/shots")
endif()

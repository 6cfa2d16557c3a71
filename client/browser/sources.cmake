# quol_client_browser: the embedded browser (CInternetExplorer over a
# WebKitWebView), the navigation policy, the built-in res:// pages, the
# sign-in cookies and the page script object window.external. See
# client/browser/README.md.

find_program(QUOL_GLIB_COMPILE_RESOURCES glib-compile-resources REQUIRED)

set(quol_browser_pages_dir ${CMAKE_CURRENT_LIST_DIR}/pages)
file(GLOB quol_browser_page_files CONFIGURE_DEPENDS ${quol_browser_pages_dir}/*)
set(quol_browser_resources_source ${CMAKE_CURRENT_BINARY_DIR}/browser_pages_resources.c)
# --manual-register: the browser registers the bundle itself when it is
# created, so nothing depends on a constructor the static linker may drop.
add_custom_command(
  OUTPUT ${quol_browser_resources_source}
  COMMAND ${QUOL_GLIB_COMPILE_RESOURCES}
    --generate-source --manual-register --c-name quol_browser_pages
    --sourcedir=${quol_browser_pages_dir}
    --target=${quol_browser_resources_source}
    ${quol_browser_pages_dir}/browser_pages.gresource.xml
  DEPENDS ${quol_browser_page_files}
  COMMENT "Compiling the browser's built-in pages"
  VERBATIM)

add_library(quol_client_browser STATIC
  ${CMAKE_CURRENT_LIST_DIR}/builtin_pages.cpp
  ${CMAKE_CURRENT_LIST_DIR}/internet_explorer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/navigation_policy.cpp
  ${CMAKE_CURRENT_LIST_DIR}/quol_scheme.cpp
  ${CMAKE_CURRENT_LIST_DIR}/signin_cookies.cpp
  ${CMAKE_CURRENT_LIST_DIR}/window_external.cpp
  ${quol_browser_resources_source})
target_include_directories(quol_client_browser PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(quol_client_browser
  PUBLIC quol_foundation PkgConfig::QUOL_CLIENT_GTK PkgConfig::QUOL_WEBKIT
  PRIVATE quol_wizard PkgConfig::SODIUM QuolProtocolHandler)

if(BUILD_TESTING)
  quol_add_tests(client_browser_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/browser_rules_test.cpp
    LIBS quol_client_browser quol_testing)
  quol_add_tests(client_browser_x11_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/browser_view_test.cpp
    LIBS quol_client_browser quol_testing quol_devservice_lib
    LABELS x11)
  quol_add_tests(client_quol_scheme_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/quol_scheme_test.cpp
    LIBS quol_client_browser quol_testing quol_devservice_lib
    LABELS x11)
endif()

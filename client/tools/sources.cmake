# quol_client_tools: the tools entries of the window menu, the update
# notices and the diagnostics page (compiled in as a GResource).
set(quol_client_tools_resources_c ${CMAKE_CURRENT_BINARY_DIR}/client_tools_resources.c)
add_custom_command(
  OUTPUT ${quol_client_tools_resources_c}
  COMMAND ${QUOL_CLIENT_GLIB_COMPILE_RESOURCES}
    --generate-source --manual-register --c-name quol_client_tools
    --sourcedir=${CMAKE_CURRENT_LIST_DIR}
    --target=${quol_client_tools_resources_c}
    ${CMAKE_CURRENT_LIST_DIR}/client_tools.gresource.xml
  DEPENDS ${CMAKE_CURRENT_LIST_DIR}/client_tools.gresource.xml ${CMAKE_CURRENT_LIST_DIR}/diagnostics.htm
  COMMENT "Compiling the client tools' page"
  VERBATIM)

add_library(quol_client_tools STATIC
  ${CMAKE_CURRENT_LIST_DIR}/update_notifier.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tools_menu.cpp
  ${quol_client_tools_resources_c})
target_link_libraries(quol_client_tools PUBLIC quol_client_windows quol_foundation PkgConfig::QUOL_CLIENT_GTK)
set_source_files_properties(${quol_client_tools_resources_c} PROPERTIES COMPILE_OPTIONS "-w")

if(BUILD_TESTING)
  quol_add_tests(client_tools_x11_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/client_tools_test.cpp
    LIBS quol_client_tools quol_testing quol_devservice_lib
    LABELS x11)
  # The upgrade tests hand packages to a recording stand-in of Updater.
endif()

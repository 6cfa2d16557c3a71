# quol_client_frame: the main frame, the message bar, the window placement,
# the command line, the second-start request and the program's start-up
# (client/app/); and the QuolDevuzez program built from every client part.
pkg_check_modules(QUOL_CLIENT_X11 REQUIRED IMPORTED_TARGET x11)

set(quol_client_app_dir ${CMAKE_CURRENT_LIST_DIR}/../app)
add_library(quol_client_frame STATIC
  ${quol_client_app_dir}/command_line.cpp
  ${quol_client_app_dir}/open_request.cpp
  ${quol_client_app_dir}/client_app.cpp
  ${CMAKE_CURRENT_LIST_DIR}/main_frame.cpp
  ${CMAKE_CURRENT_LIST_DIR}/message_bar.cpp
  ${CMAKE_CURRENT_LIST_DIR}/window_placement.cpp)
target_include_directories(quol_client_frame PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(quol_client_frame
  PUBLIC quol_foundation PkgConfig::QUOL_CLIENT_GTK
  PRIVATE quol_wizard quol_saverinstall_gtk PkgConfig::QUOL_CLIENT_X11)

# The program takes whichever of the other parts are built; a part that is
# missing leaves its piece out (no browser: the frame stays empty).
add_executable(QuolDevuzez ${quol_client_app_dir}/main.cpp)
target_link_libraries(QuolDevuzez PRIVATE quol_client_frame quol_saverinstall PkgConfig::QUOL_CLIENT_X11)
foreach(part browser windows tools)
  if(TARGET quol_client_${part})
    string(TOUPPER ${part} part_upper)
    target_link_libraries(QuolDevuzez PRIVATE quol_client_${part})
    target_compile_definitions(QuolDevuzez PRIVATE QUOL_CLIENT_HAS_${part_upper}=1)
  endif()
endforeach()

if(BUILD_TESTING)
  quol_add_tests(client_frame_tests
    SOURCES
      ${quol_client_app_dir}/command_line_test.cpp
      ${quol_client_app_dir}/open_request_test.cpp
      ${CMAKE_CURRENT_LIST_DIR}/window_placement_test.cpp
    LIBS quol_client_frame quol_testing)
  quol_add_tests(client_frame_x11_tests
    SOURCES
      ${CMAKE_CURRENT_LIST_DIR}/main_frame_test.cpp
      ${quol_client_app_dir}/client_program_test.cpp
    LIBS quol_client_frame quol_testing quol_devservice_lib PkgConfig::QUOL_CLIENT_X11
    LABELS x11)
  add_dependencies(client_frame_x11_tests QuolDevuzez)
  target_compile_definitions(client_frame_x11_tests PRIVATE
    QUOL_CLIENT_BINARY="$<TARGET_FILE:QuolDevuzez>"
    QUOL_CLIENT_SHOTS_DIR="${CMAKE_BINARY_DIR}/shots")
endif()

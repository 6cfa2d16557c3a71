# quol_add_tests(NAME SOURCES <files...> LIBS <targets...> [LABELS <labels...>])
# One test program per folder; every test case becomes its own CTest entry so
# that `ctest -j` spreads them over the cores.
function(quol_add_tests name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} quol_test_main GTest::gtest Threads::Threads)
  target_compile_definitions(${name} PRIVATE QUOL_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  set(props TIMEOUT 120)
  if(T_LABELS)
    list(APPEND props LABELS "${T_LABELS}")
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES ${props})
endfunction()

# quol_picture_layer(<targets...>)
# Marks targets as part of the screen saver's picture layer: every compile of
# theirs gets cmake/layering/picture_layer_guard.h forced in, which turns an
# include of Xlib, GL or GTK headers (or of a program-layer header that pulls
# them in) into a compile error.
set(QUOL_PICTURE_LAYER_GUARD ${CMAKE_CURRENT_LIST_DIR}/layering/picture_layer_guard.h)
function(quol_picture_layer)
  foreach(target IN LISTS ARGN)
    target_compile_options(${target} PRIVATE "SHELL:-include ${QUOL_PICTURE_LAYER_GUARD}")
  endforeach()
endfunction()

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

# sources of screensaver/app (the program's logic; main.cpp is the program)
target_sources(quol_saver_core PRIVATE
  app/command_line.cpp
  app/slide_show.cpp
)
list(APPEND QUOL_SAVER_TEST_SOURCES
  app/command_line_test.cpp
  app/slide_show_test.cpp
)

# cmake -DROOT=<folder> -DPATHS=<folders or files relative to ROOT, comma-separated>
#       -P scan_picture_sources.cmake
#
# Fails, naming each file and include line, when a source of the picture layer includes a
# windowing header (Xlib and its extensions, OpenGL/GLX/EGL, cairo-xlib,
# GTK/GDK) or a header of the program layer (screensaver/app, fader, x11).
# The forced-include guard catches most of these at compile time; this scan
# also sees headers no compile pulls in and the macro-only X11 headers
# (keysyms, protocol constants) the guard cannot poison.
cmake_minimum_required(VERSION 3.25)

if(NOT DEFINED ROOT OR NOT DEFINED PATHS)
  message(FATAL_ERROR "usage: cmake -DROOT=<folder> -DPATHS=<list> -P ${CMAKE_CURRENT_LIST_FILE}")
endif()

string(REPLACE "," ";" PATHS "${PATHS}")

set(forbidden
  "#[ \t]*include[ \t]*[<\"](X11|GL|GLES[0-9]*|EGL|gtk|gdk)/"
  "#[ \t]*include[ \t]*[<\"]cairo-xlib"
  "#[ \t]*include[ \t]*[<\"]screensaver/(app|fader|x11)/")

set(files "")
foreach(entry IN LISTS PATHS)
  set(path "${ROOT}/${entry}")
  if(IS_DIRECTORY "${path}")
    file(GLOB_RECURSE found LIST_DIRECTORIES false
      "${path}/*.h" "${path}/*.hpp" "${path}/*.cpp" "${path}/*.c")
    list(APPEND files ${found})
  elseif(EXISTS "${path}")
    list(APPEND files "${path}")
  else()
    # A renamed folder must not turn the check into one that passes on nothing.
    message(FATAL_ERROR "picture layer path not found: ${path}")
  endif()
endforeach()
list(SORT files)
list(LENGTH files file_count)
if(file_count EQUAL 0)
  message(FATAL_ERROR "no picture layer sources found under ${ROOT}")
endif()

set(violations 0)
foreach(file IN LISTS files)
  # Sources are small; a bound keeps a stray generated blob from stalling CI.
  file(STRINGS "${file}" lines LIMIT_INPUT 4000000 REGEX "^[ \t]*#[ \t]*include")
  foreach(line IN LISTS lines)
    foreach(pattern IN LISTS forbidden)
      if(line MATCHES "^[ \t]*${pattern}")
        file(RELATIVE_PATH shown "${ROOT}" "${file}")
        message("${shown}: ${line}")
        math(EXPR violations "${violations} + 1")
        break()
      endif()
    endforeach()
  endforeach()
endforeach()

if(violations GREATER 0)
  message(FATAL_ERROR
    "${violations} include(s) of windowing or program-layer headers in the picture layer")
endif()
message("picture layer: ${file_count} files, no windowing or program-layer includes")

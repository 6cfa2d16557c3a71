# cmake -DCXX=<compiler> -DGUARD=<picture_layer_guard.h> -DSCAN=<scan script>
#       -DSOURCE_ROOT=<repository> -DINCLUDES=<comma-separated include folders>
#       -DWORK=<scratch folder> -P picture_guard_test.cmake
#
# Checks that both layering checks reject what they are there to reject:
#  - the forced-include guard turns an include of a windowing header or of a
#    program-layer header into a compile error, while Cairo still compiles;
#  - the source scan names every offending file and passes a clean tree.
cmake_minimum_required(VERSION 3.25)

foreach(var CXX GUARD SCAN SOURCE_ROOT WORK)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "${var} is not set")
  endif()
endforeach()

file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")
set(failures 0)
macro(fail text)
  message("FAIL: ${text}")
  math(EXPR failures "${failures} + 1")
endmacro()

set(include_flags "-I${SOURCE_ROOT}")
string(REPLACE "," ";" INCLUDES "${INCLUDES}")
foreach(dir IN LISTS INCLUDES)
  list(APPEND include_flags "-I${dir}")
endforeach()

# name | include line | expected with the guard: "compiles" or "rejected"
set(compile_rows
  "cairo|<cairo.h>|compiles"
  "picture_header|\"screensaver/common/cairo_ptr.h\"|compiles"
  "xlib|<X11/Xlib.h>|rejected"
  "xrandr|<X11/extensions/Xrandr.h>|rejected"
  "mit_shm|<X11/extensions/XShm.h>|rejected"
  "glx|<GL/glx.h>|rejected"
  "opengl|<GL/gl.h>|rejected"
  "cairo_xlib|<cairo-xlib.h>|rejected"
  "program_x11_header|\"screensaver/x11/x_display.h\"|rejected"
  "program_fader_header|\"screensaver/fader/basic_fader.h\"|rejected")

function(compile_probe source use_guard result_var output_var)
  set(args -std=c++20 -fsyntax-only ${include_flags})
  if(use_guard)
    list(APPEND args -include "${GUARD}")
  endif()
  execute_process(COMMAND "${CXX}" ${args} "${source}"
    RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE out
    TIMEOUT 60)
  set(${result_var} "${result}" PARENT_SCOPE)
  set(${output_var} "${out}" PARENT_SCOPE)
endfunction()

set(rejections_checked 0)
foreach(row IN LISTS compile_rows)
  string(REPLACE "|" ";" fields "${row}")
  list(GET fields 0 name)
  list(GET fields 1 header)
  list(GET fields 2 expected)
  set(source "${WORK}/${name}.cpp")
  file(WRITE "${source}" "#include ${header}\nint main() { return 0; }\n")

  # Without the guard every probe must compile: otherwise a rejection would
  # prove nothing (a missing header fails with or without the guard).
  compile_probe("${source}" FALSE plain_result plain_out)
  if(NOT plain_result EQUAL 0)
    if(expected STREQUAL "compiles")
      fail("${name}: does not compile even without the guard:\n${plain_out}")
    else()
      message("skip ${name}: ${header} is not installed here")
    endif()
    continue()
  endif()

  compile_probe("${source}" TRUE guarded_result guarded_out)
  if(expected STREQUAL "compiles")
    if(NOT guarded_result EQUAL 0)
      fail("${name}: the guard breaks a header the picture layer needs:\n${guarded_out}")
    endif()
  else()
    math(EXPR rejections_checked "${rejections_checked} + 1")
    if(guarded_result EQUAL 0)
      fail("${name}: ${header} compiles in the picture layer")
    elseif(NOT guarded_out MATCHES "poisoned")
      fail("${name}: rejected, but not by the guard:\n${guarded_out}")
    endif()
  endif()
endforeach()
if(rejections_checked EQUAL 0)
  fail("no windowing header is installed, so the guard was never exercised")
endif()

# The scan: file name | contents | expected to be named
set(tree "${WORK}/tree")
set(scan_rows
  "clean.cpp|#include <cairo.h>\n#include \"screensaver/widgets/clock.h\"\n|no"
  "keysyms.h|#include <X11/keysym.h>\n|yes"
  "spaced.cpp|  #  include \"screensaver/fader/basic_fader.h\"\n|yes"
  "gl.cpp|#include <GL/gl.h>\n|yes"
  "gdk.h|#include <gdk/gdk.h>\n|yes"
  "xlib_surface.cpp|#include <cairo-xlib.h>\n|yes"
  "nested/app.cpp|#include \"screensaver/app/saver_frame.h\"\n|yes"
  "comment.cpp|// no X11 here: <X11/Xlib.h> stays out\n|no")
foreach(row IN LISTS scan_rows)
  string(REPLACE "|" ";" fields "${row}")
  list(GET fields 0 name)
  list(GET fields 1 contents)
  file(WRITE "${tree}/${name}" "${contents}")
endforeach()

execute_process(COMMAND "${CMAKE_COMMAND}" -DROOT=${tree} -DPATHS=.
  -P "${SCAN}" RESULT_VARIABLE scan_result OUTPUT_VARIABLE scan_out ERROR_VARIABLE scan_out
  TIMEOUT 60)
if(scan_result EQUAL 0)
  fail("the scan passed a tree with forbidden includes:\n${scan_out}")
endif()
foreach(row IN LISTS scan_rows)
  string(REPLACE "|" ";" fields "${row}")
  list(GET fields 0 name)
  list(GET fields 2 named)
  string(FIND "${scan_out}" "${name}: " at)
  if(named STREQUAL "yes" AND at EQUAL -1)
    fail("the scan did not name ${name}:\n${scan_out}")
  elseif(named STREQUAL "no" AND NOT at EQUAL -1)
    fail("the scan named ${name}, which is clean:\n${scan_out}")
  endif()
endforeach()

execute_process(COMMAND "${CMAKE_COMMAND}" -DROOT=${tree} -DPATHS=clean.cpp,comment.cpp
  -P "${SCAN}" RESULT_VARIABLE clean_result OUTPUT_VARIABLE clean_out ERROR_VARIABLE clean_out
  TIMEOUT 60)
if(NOT clean_result EQUAL 0)
  fail("the scan rejected a clean tree:\n${clean_out}")
endif()

execute_process(COMMAND "${CMAKE_COMMAND}" -DROOT=${tree} -DPATHS=renamed
  -P "${SCAN}" RESULT_VARIABLE missing_result OUTPUT_QUIET ERROR_QUIET TIMEOUT 60)
if(missing_result EQUAL 0)
  fail("the scan passed a folder that does not exist")
endif()

if(failures GREATER 0)
  message(FATAL_ERROR "${failures} layering check(s) failed")
endif()
message("layering checks: ${rejections_checked} windowing includes rejected, scan verified")

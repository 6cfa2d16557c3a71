# Run by CPack before it packs (CPACK_PRE_BUILD_SCRIPTS): strips every ELF
# file in the staging tree the Debian way (no .comment or .note sections,
# unneeded symbols gone), before the md5sums are computed.
find_program(QUOL_STRIP strip REQUIRED)
file(GLOB_RECURSE staged LIST_DIRECTORIES false "${CPACK_TEMPORARY_DIRECTORY}/*")
foreach(file IN LISTS staged)
  if(IS_SYMLINK "${file}")
    continue()
  endif()
  file(READ "${file}" magic LIMIT 4 HEX)
  if(magic STREQUAL "7f454c46")
    execute_process(
      COMMAND ${QUOL_STRIP} --remove-section=.comment --remove-section=.note --strip-unneeded "${file}"
      RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
      message(FATAL_ERROR "strip failed on ${file}")
    endif()
  endif()
endforeach()

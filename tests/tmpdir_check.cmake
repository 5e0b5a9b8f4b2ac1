cmake_minimum_required(VERSION 3.25)

# The suite's own TMPDIR. MODE=setup empties it before the first test;
# MODE=check, after the last one, fails when anything is left in it and names
# each leftover, so that a test that does not remove what it made (or a Steam
# child whose scratch directory nobody removed) is noticed.
if(MODE STREQUAL "setup")
  file(REMOVE_RECURSE "${DIR}")
  file(MAKE_DIRECTORY "${DIR}")
  return()
endif()

file(GLOB_RECURSE left LIST_DIRECTORIES true "${DIR}/*")
list(SORT left)
if(NOT left)
  message(STATUS "${DIR} is empty")
  return()
endif()
set(report "")
foreach(path IN LISTS left)
  file(RELATIVE_PATH name "${DIR}" "${path}")
  if(name MATCHES "(^|/)vandrel-[0-9]+-[0-9a-f]+$")
    string(APPEND report "  ${name}   (a Steam child's scratch directory)\n")
  else()
    string(APPEND report "  ${name}\n")
  endif()
endforeach()
message(FATAL_ERROR "the tests left this in their TMPDIR ${DIR}:\n${report}")

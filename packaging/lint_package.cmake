cmake_minimum_required(VERSION 3.25)

# Builds the Debian package into WORK_DIR and runs lintian on it: an error, or
# a warning about the man pages, fails the test; other warnings and notes are
# shown.
include(${CMAKE_CURRENT_LIST_DIR}/script_helpers.cmake)
require_program(LINTIAN lintian lintian)

file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")
execute_process(COMMAND "${CPACK}" -G DEB --config "${CPACK_CONFIG}" -B "${WORK_DIR}"
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
file(GLOB debs "${WORK_DIR}/*.deb")
if(NOT rc EQUAL 0 OR NOT debs)
  file(REMOVE_RECURSE "${WORK_DIR}")
  message(FATAL_ERROR "cpack failed (${rc}):\n${out}\n${err}")
endif()

# lintian leaves its own caches (mldbm-elf-*) in TMPDIR: give it one that goes.
file(MAKE_DIRECTORY "${WORK_DIR}/tmp")
set(ENV{TMPDIR} "${WORK_DIR}/tmp")
execute_process(COMMAND "${LINTIAN}" --fail-on error --display-info ${debs}
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
file(REMOVE_RECURSE "${WORK_DIR}")
message("${out}${err}")
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "lintian reports errors (status ${rc})")
endif()
# Every program has its man page, and the pages read cleanly.
string(REGEX MATCHALL "(^|\n)[EW]: [^\n]*(manual-page|manpage)[^\n]*" man_tags "${out}")
if(man_tags)
  message(FATAL_ERROR "lintian warns about the man pages:${man_tags}")
endif()

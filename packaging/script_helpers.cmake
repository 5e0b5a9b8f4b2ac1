# Helpers of the package tests, which run as `cmake -P` scripts.

# Finds `program` into `var`. Without it, says why the test is skipped and
# ends the calling script (a macro, so that its return() ends the script).
macro(require_program var program package)
  find_program(${var} ${program})
  if(NOT ${var})
    message("skipped: ${program} is not installed (Debian package ${package})")
    return()
  endif()
endmacro()

# Runs the command in ARGN and sets `out` to its standard output, trailing
# white space stripped. A failure (with RUN_FAILS_ON_STDERR set, also any
# text on standard error) removes WORK_DIR and fails the test with the output.
function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err
    OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT rc EQUAL 0 OR (RUN_FAILS_ON_STDERR AND NOT err STREQUAL ""))
    file(REMOVE_RECURSE "${WORK_DIR}")
    message(FATAL_ERROR "${what} failed (${rc}):\n${out}\n${err}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()

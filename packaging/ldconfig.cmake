# Runs at install time, after the shared client library is installed
# (install(CODE) in client/CMakeLists.txt sets VANDREL_LIB_DIR, the library
# directory, relative to the prefix or absolute).
#
# A program linked with the shared library finds it through the loader's
# cache, which only ldconfig updates. So when the library went into a
# directory the cache covers (/usr/local/lib, /usr/lib, ... as ld.so.conf
# lists them), and the install is into the system itself as root, ldconfig
# runs now. Not for a staged install (DESTDIR: the package's own trigger runs
# it where the package is installed), nor for another user, who cannot write
# the cache, nor for a directory the loader does not search (~/.local/lib),
# where LD_LIBRARY_PATH or a run path finds the library instead.

if(NOT "$ENV{DESTDIR}" STREQUAL "")
  return()
endif()
if(IS_ABSOLUTE "${VANDREL_LIB_DIR}")
  set(vandrel_lib_dir "${VANDREL_LIB_DIR}")
else()
  set(vandrel_lib_dir "${CMAKE_INSTALL_PREFIX}/${VANDREL_LIB_DIR}")
endif()
find_program(vandrel_ldconfig ldconfig PATHS /sbin /usr/sbin NO_CACHE)
find_program(vandrel_id id NO_CACHE)
if(NOT vandrel_ldconfig OR NOT vandrel_id)
  return()
endif()
execute_process(COMMAND "${vandrel_id}" -u OUTPUT_VARIABLE vandrel_uid
  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
if(NOT vandrel_uid STREQUAL "0")
  return()
endif()

# The directories the cache covers, as ldconfig itself lists them ("DIR:" or
# "DIR: (from FILE:LINE)" at the start of a line), compared by their real
# paths (/lib is /usr/lib on a merged /usr).
execute_process(COMMAND "${vandrel_ldconfig}" -v -N -X
  OUTPUT_VARIABLE vandrel_listing ERROR_QUIET RESULT_VARIABLE vandrel_rc)
if(NOT vandrel_rc EQUAL 0)
  return()
endif()
file(REAL_PATH "${vandrel_lib_dir}" vandrel_lib_real)
string(REGEX MATCHALL "(^|\n)/[^:\n]*:" vandrel_dirs "${vandrel_listing}")
set(vandrel_covered FALSE)
foreach(vandrel_dir IN LISTS vandrel_dirs)
  string(REGEX REPLACE "^\n?(/[^:\n]*):$" "\\1" vandrel_dir "${vandrel_dir}")
  file(REAL_PATH "${vandrel_dir}" vandrel_dir_real)
  if(vandrel_dir_real STREQUAL vandrel_lib_real)
    set(vandrel_covered TRUE)
  endif()
endforeach()
if(NOT vandrel_covered)
  return()
endif()

message(STATUS "Updating the loader's cache for ${vandrel_lib_dir}: ldconfig")
execute_process(COMMAND "${vandrel_ldconfig}" RESULT_VARIABLE vandrel_rc)
if(NOT vandrel_rc EQUAL 0)
  message(WARNING "ldconfig failed (${vandrel_rc}): programs linked with libvandrel-client.so.0 "
    "find it only after ldconfig has run as root")
endif()

cmake_minimum_required(VERSION 3.25)

# Installs the build tree as root into the system's own /usr/local, as the
# README's install for every user does, and checks that a program linked with
# `pkg-config --libs vandrel` then runs with no variable set: the install put
# the shared library into the loader's cache. A staged install (DESTDIR)
# before it must leave the cache alone.
#
# The machine's own /usr/local and /etc stay untouched: the script runs itself
# again in a private mount namespace (INSIDE), where both are overlays whose
# changes go to WORK_DIR and vanish with the namespace.
include(${CMAKE_CURRENT_LIST_DIR}/script_helpers.cmake)

if(NOT INSIDE)
  require_program(UNSHARE unshare util-linux)
  require_program(ID id coreutils)
  execute_process(COMMAND "${ID}" -u OUTPUT_VARIABLE uid OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT uid STREQUAL "0")
    message("skipped: an install into the system's directories needs root")
    return()
  endif()
  file(REMOVE_RECURSE "${WORK_DIR}")
  file(MAKE_DIRECTORY "${WORK_DIR}")
  execute_process(
    COMMAND "${UNSHARE}" --mount --propagation private
      "${CMAKE_COMMAND}" -DINSIDE=ON "-DBUILD_DIR=${BUILD_DIR}" "-DWORK_DIR=${WORK_DIR}"
      "-DVERSION=${VERSION}" "-DC_COMPILER=${C_COMPILER}" "-DC_FLAGS=${C_FLAGS}"
      "-DLINKER_FLAGS=${LINKER_FLAGS}" -P "${CMAKE_CURRENT_LIST_FILE}"
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  file(REMOVE_RECURSE "${WORK_DIR}")
  if(NOT rc EQUAL 0 AND err MATCHES "^unshare: ")
    message("skipped: no private mount namespace here: ${err}")
    return()
  endif()
  # The inner run's lines, a "skipped: " line among them, are its messages.
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${out}${err}")
  endif()
  message("${out}${err}")
  return()
endif()

require_program(PKG_CONFIG pkg-config pkgconf)
require_program(MOUNT mount mount)
require_program(LDCONFIG ldconfig libc-bin)
foreach(dir /usr/local /etc)
  file(MAKE_DIRECTORY "${WORK_DIR}/upper${dir}" "${WORK_DIR}/work${dir}")
  execute_process(COMMAND "${MOUNT}" -t overlay overlay
    -o "lowerdir=${dir},upperdir=${WORK_DIR}/upper${dir},workdir=${WORK_DIR}/work${dir}" "${dir}"
    RESULT_VARIABLE rc ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message("skipped: cannot lay an overlay over ${dir} here: ${err}")
    return()
  endif()
endforeach()

set(library "libvandrel-client.so.0")
set(ENV{DESTDIR} "${WORK_DIR}/stage")
run("a staged cmake --install" "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix /usr/local)
unset(ENV{DESTDIR})
run("ldconfig -p" "${LDCONFIG}" -p)
if(out MATCHES "${library}")
  message(FATAL_ERROR "a staged install put ${library} into the loader's cache:\n${out}")
endif()

run("cmake --install" "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix /usr/local)
file(WRITE "${WORK_DIR}/consumer/main.c" [[
#include <stdio.h>
#include <vandrel/client.h>
int main(void) {
    printf("%s\n", vandrel_version());
    return 0;
}
]])
unset(ENV{PKG_CONFIG_PATH})
unset(ENV{LD_LIBRARY_PATH})
run("pkg-config --cflags --libs vandrel" "${PKG_CONFIG}" --cflags --libs vandrel)
separate_arguments(pc_flags UNIX_COMMAND "${out}")
separate_arguments(c_flags UNIX_COMMAND "${C_FLAGS} ${LINKER_FLAGS}")
run("compiling with pkg-config's flags" "${C_COMPILER}" ${c_flags} "${WORK_DIR}/consumer/main.c"
  ${pc_flags} -o "${WORK_DIR}/consumer/by-pkg-config")
run("the program linked with ${library}, without LD_LIBRARY_PATH"
  "${WORK_DIR}/consumer/by-pkg-config")
if(NOT out STREQUAL VERSION)
  message(FATAL_ERROR "the program linked with ${library} says '${out}', not ${VERSION}")
endif()
message("a program linked with ${library} from /usr/local ran at once")

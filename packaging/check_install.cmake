cmake_minimum_required(VERSION 3.25)

# Installs the build tree into ~/.local of a home directory under WORK_DIR, as
# the README shows, and checks what a user then relies on: the unit starts the
# installed program by its absolute path; the man pages read as written;
# pkg-config (with PKG_CONFIG_PATH) and find_package (with CMAKE_PREFIX_PATH)
# find the client library at the project's version, shared and static; and a
# program built each way links the library asked for and runs.
include(${CMAKE_CURRENT_LIST_DIR}/script_helpers.cmake)
require_program(PKG_CONFIG pkg-config pkgconf)
require_program(MAN man man-db)
require_program(READELF readelf binutils)

set(failures "")
set(prefix "${WORK_DIR}/home/.local")
file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}/home")

run("cmake --install" "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${prefix}")

set(program "${prefix}/${BINDIR}/vandrel")
file(READ "${prefix}/${UNIT_DIR}/vandrel.service" unit)
# With no address the broker takes the socket unit's sockets, or its default.
if(NOT unit MATCHES "\nExecStart=${program} --clients 16\n")
  string(APPEND failures "the unit does not start ${program} --clients 16:\n${unit}\n")
endif()
if(NOT EXISTS "${prefix}/${UNIT_DIR}/vandrel.socket")
  string(APPEND failures "vandrel.socket was not installed beside vandrel.service\n")
endif()
if(NOT EXISTS "${program}")
  string(APPEND failures "${program} was not installed\n")
endif()

# The installed man pages as man shows them: the version stands once, in the
# title line, and the prose around the program's name is what the source says.
set(ENV{LC_ALL} C)
set(ENV{MANWIDTH} 100)
foreach(page vandrel vandrel-ticket)
  run("man -l ${page}.1.gz" "${MAN}" -l "${prefix}/${MANDIR}/man1/${page}.1.gz")
  string(FIND "${out}" "${page} ${VERSION}" title)
  string(FIND "${out}" "${VERSION}" first)
  string(FIND "${out}" "${VERSION}" last REVERSE)
  string(LENGTH "${page} " name_len)
  math(EXPR title_version "${title} + ${name_len}")
  if(title EQUAL -1 OR NOT first EQUAL title_version OR NOT last EQUAL first)
    string(APPEND failures "${page}(1) should show '${page} ${VERSION}' once, and the version "
      "nowhere else:\n${out}\n")
  endif()
  if(out MATCHES "@VANDREL_VERSION@")
    string(APPEND failures "${page}(1) still holds the version placeholder\n")
  endif()
  if(page STREQUAL "vandrel"
     AND NOT out MATCHES "child[ \n]+mode,[ \n]+vandrel[ \n]+--child[ \n]+appid,")
    string(APPEND failures "vandrel(1) lost 'vandrel --child appid':\n${out}\n")
  endif()
endforeach()

# A consumer program: the header's version and the linked library's agree.
file(WRITE "${WORK_DIR}/consumer/main.c" [[
#include <stdio.h>
#include <string.h>
#include <vandrel/client.h>
int main(void) {
    printf("%s\n", vandrel_version());
    return strcmp(vandrel_version(), VANDREL_VERSION_STRING) != 0;
}
]])

set(ENV{PKG_CONFIG_PATH} "${prefix}/${LIBDIR}/pkgconfig")
run("pkg-config --modversion" "${PKG_CONFIG}" --modversion vandrel)
if(NOT out STREQUAL VERSION)
  string(APPEND failures "pkg-config says version '${out}', not ${VERSION}\n")
endif()
# The shared library (vandrel) and the archive (vandrel-static). A program
# linked with the shared one needs it at run time, from LD_LIBRARY_PATH here
# as the prefix is not on the loader's path; one linked with the archive runs
# without it.
set(shared_library "libvandrel-client.so.0")
foreach(module vandrel vandrel-static)
  run("pkg-config --cflags --libs ${module}" "${PKG_CONFIG}" --cflags --libs ${module})
  separate_arguments(pc_flags UNIX_COMMAND "${out}")
  separate_arguments(c_flags UNIX_COMMAND "${C_FLAGS} ${LINKER_FLAGS}")
  set(consumer "${WORK_DIR}/consumer/by-pkg-config-${module}")
  run("compiling with ${module}'s pkg-config flags" "${C_COMPILER}" ${c_flags}
    "${WORK_DIR}/consumer/main.c" ${pc_flags} -o "${consumer}")
  if(module STREQUAL "vandrel")
    set(ENV{LD_LIBRARY_PATH} "${prefix}/${LIBDIR}")
  endif()
  run("the program built with ${module}'s pkg-config flags" "${consumer}")
  unset(ENV{LD_LIBRARY_PATH})
  if(NOT out STREQUAL VERSION)
    string(APPEND failures "the program built with ${module}'s pkg-config flags says '${out}'\n")
  endif()
  run("the libraries ${module}'s program needs" "${READELF}" -d "${consumer}")
  string(FIND "${out}" "[${shared_library}]" needs_shared)
  if(module STREQUAL "vandrel" AND needs_shared EQUAL -1)
    string(APPEND failures "pkg-config's vandrel does not link ${shared_library}:\n${out}\n")
  elseif(module STREQUAL "vandrel-static" AND NOT needs_shared EQUAL -1)
    string(APPEND failures "pkg-config's vandrel-static links ${shared_library}:\n${out}\n")
  endif()
endforeach()

file(WRITE "${WORK_DIR}/consumer/CMakeLists.txt" "
cmake_minimum_required(VERSION 3.25)
project(consumer C)
find_package(vandrel ${VERSION} EXACT REQUIRED)
add_executable(by-cmake main.c)
target_link_libraries(by-cmake PRIVATE vandrel::client)
add_executable(by-cmake-static main.c)
target_link_libraries(by-cmake-static PRIVATE vandrel::client_static)
")
run("configuring a find_package(vandrel) project" "${CMAKE_COMMAND}"
  -S "${WORK_DIR}/consumer" -B "${WORK_DIR}/consumer/build" -G "${GENERATOR}"
  "-DCMAKE_PREFIX_PATH=${prefix}" "-DCMAKE_C_COMPILER=${C_COMPILER}"
  "-DCMAKE_C_FLAGS=${C_FLAGS}" "-DCMAKE_EXE_LINKER_FLAGS=${LINKER_FLAGS}")
run("building it" "${CMAKE_COMMAND}" --build "${WORK_DIR}/consumer/build")
# CMake gives the build tree's program a run path to the shared library.
foreach(program by-cmake by-cmake-static)
  run("the program ${program} built with find_package" "${WORK_DIR}/consumer/build/${program}")
  if(NOT out STREQUAL VERSION)
    string(APPEND failures "the program ${program} built with find_package says '${out}'\n")
  endif()
endforeach()
run("the libraries by-cmake needs" "${READELF}" -d "${WORK_DIR}/consumer/build/by-cmake")
if(NOT out MATCHES "\\[${shared_library}\\]")
  string(APPEND failures "vandrel::client does not link ${shared_library}:\n${out}\n")
endif()

file(REMOVE_RECURSE "${WORK_DIR}")
if(failures)
  message(FATAL_ERROR "${failures}")
endif()

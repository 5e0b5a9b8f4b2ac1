cmake_minimum_required(VERSION 3.25)

# Installs the build tree into ~/.local of a home directory under WORK_DIR and
# asks systemd's own tools about the installed units: `systemd-analyze --user
# verify` accepts the service and the socket (which also finds the program the
# service starts), and the user
# manager's unit search path holds <P>/UNIT_DIR for P = ~/.local, /usr/local
# and /usr, the prefixes the README names.
include(${CMAKE_CURRENT_LIST_DIR}/script_helpers.cmake)
require_program(SYSTEMD_ANALYZE systemd-analyze systemd)
# systemd-analyze reports what it does not accept on standard error.
set(RUN_FAILS_ON_STDERR TRUE)

set(home "${WORK_DIR}/home")
set(prefix "${home}/.local")
file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${home}" "${WORK_DIR}/run")
file(CHMOD "${WORK_DIR}/run" DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)


run("cmake --install" "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${prefix}")

# The user manager of a user whose home is `home`, with the default XDG
# directories.
set(ENV{HOME} "${home}")
set(ENV{XDG_RUNTIME_DIR} "${WORK_DIR}/run")
foreach(var XDG_CONFIG_HOME XDG_CONFIG_DIRS XDG_DATA_HOME XDG_DATA_DIRS SYSTEMD_UNIT_PATH)
  unset(ENV{${var}})
endforeach()

run("systemd-analyze --user verify" "${SYSTEMD_ANALYZE}" --user --man=no verify
  "${prefix}/${UNIT_DIR}/vandrel.service" "${prefix}/${UNIT_DIR}/vandrel.socket")

run("systemd-analyze --user unit-paths" "${SYSTEMD_ANALYZE}" --user unit-paths)
string(REPLACE "\n" ";" paths "${out}")
set(failures "")
foreach(p "${prefix}" /usr/local /usr)
  if(NOT "${p}/${UNIT_DIR}" IN_LIST paths)
    string(APPEND failures "the user manager does not look in ${p}/${UNIT_DIR}:\n${out}\n")
  endif()
endforeach()

file(REMOVE_RECURSE "${WORK_DIR}")
if(failures)
  message(FATAL_ERROR "${failures}")
endif()

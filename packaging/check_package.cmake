cmake_minimum_required(VERSION 3.25)

# Builds the Debian package into WORK_DIR and checks its contents as
# `dpkg-deb -c` lists them, the prefix inside the installed pkg-config file, and
# the program that the systemd unit starts.
file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")

execute_process(COMMAND "${CPACK}" -G DEB --config "${CPACK_CONFIG}" -B "${WORK_DIR}"
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cpack failed (${rc}):\n${out}\n${err}")
endif()
file(GLOB debs "${WORK_DIR}/*.deb")
list(LENGTH debs count)
if(NOT count EQUAL 1)
  message(FATAL_ERROR "expected one .deb in ${WORK_DIR}, found: ${debs}")
endif()

execute_process(COMMAND dpkg-deb -c "${debs}" RESULT_VARIABLE rc OUTPUT_VARIABLE listing
  ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "dpkg-deb -c failed: ${err}")
endif()
message(STATUS "package contents:\n${listing}")

# One path per line of the listing, the "./" kept: "./usr/bin/vandrel".
string(REGEX MATCHALL "\\./[^\n]*" paths "${listing}")

set(expected
  ./usr/${BINDIR}/vandrel
  ./usr/${BINDIR}/vandrel-ticket
  ./usr/${INCLUDEDIR}/vandrel/client.h
  ./usr/${INCLUDEDIR}/vandrel/wire.h
  ./usr/${INCLUDEDIR}/vandrel/version.h
  ./usr/${LIBDIR}/libvandrel_client.a
  ./usr/${LIBDIR}/pkgconfig/vandrel.pc
  ./usr/${LIBDIR}/cmake/vandrel/vandrelConfig.cmake
  ./usr/${LIBDIR}/cmake/vandrel/vandrelConfigVersion.cmake
  ./usr/${LIBDIR}/cmake/vandrel/vandrelTargets.cmake
  ./usr/${MANDIR}/man1/vandrel.1.gz
  ./usr/${MANDIR}/man1/vandrel-ticket.1.gz
  ./usr/${DATADIR}/systemd/user/vandrel.service
  ./usr/${DOCDIR}/copyright
  ./usr/${DOCDIR}/changelog.gz
  ./usr/lib/vandrel/)
set(failures "")
foreach(path IN LISTS expected)
  if(NOT path IN_LIST paths)
    string(APPEND failures "missing: ${path}\n")
  endif()
endforeach()

set(standin ./usr/lib/vandrel/libsteam_api.so)
if(WITH_STANDIN AND NOT standin IN_LIST paths)
  string(APPEND failures "missing: ${standin} (VANDREL_INSTALL_STANDIN is ON)\n")
elseif(NOT WITH_STANDIN AND standin IN_LIST paths)
  string(APPEND failures "unexpected: ${standin} (VANDREL_INSTALL_STANDIN is OFF)\n")
endif()
foreach(path IN LISTS paths)
  if(path MATCHES "_test$|/tests?/")
    string(APPEND failures "unexpected test file: ${path}\n")
  endif()
endforeach()

# The pkg-config file names the package's prefix, not the build's.
execute_process(COMMAND dpkg-deb -x "${debs}" "${WORK_DIR}/root" RESULT_VARIABLE rc)
file(READ "${WORK_DIR}/root/usr/${LIBDIR}/pkgconfig/vandrel.pc" pc)
if(NOT pc MATCHES "(^|\n)prefix=/usr\n")
  string(APPEND failures "vandrel.pc does not say prefix=/usr:\n${pc}\n")
endif()
# The unit starts the packaged program by its absolute path.
file(READ "${WORK_DIR}/root/usr/${DATADIR}/systemd/user/vandrel.service" unit)
if(NOT unit MATCHES "\nExecStart=/usr/${BINDIR}/vandrel ")
  string(APPEND failures "the unit does not start /usr/${BINDIR}/vandrel:\n${unit}\n")
endif()

file(REMOVE_RECURSE "${WORK_DIR}")
if(failures)
  message(FATAL_ERROR "${failures}")
endif()

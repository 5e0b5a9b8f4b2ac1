cmake_minimum_required(VERSION 3.25)

# Builds the Debian packages into WORK_DIR and checks what each holds as
# `dpkg-deb -c` lists it, the library package's ldconfig trigger and shlibs
# file, the prefix inside the installed pkg-config file, and the program that
# the systemd unit starts.
file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")

execute_process(COMMAND "${CPACK}" -G DEB --config "${CPACK_CONFIG}" -B "${WORK_DIR}"
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cpack failed (${rc}):\n${out}\n${err}")
endif()
# The three packages, and what each must hold.
set(packages vandrel libvandrel-client0 libvandrel-client-dev)
set(expected_vandrel
  ./usr/${BINDIR}/vandrel
  ./usr/${BINDIR}/vandrel-ticket
  ./usr/${MANDIR}/man1/vandrel.1.gz
  ./usr/${MANDIR}/man1/vandrel-ticket.1.gz
  ./usr/${DATADIR}/systemd/user/vandrel.service
  ./usr/${DATADIR}/systemd/user/vandrel.socket
  ./usr/${DOCDIR}/copyright
  ./usr/${DOCDIR}/changelog.gz
  ./usr/lib/vandrel/)
set(expected_libvandrel-client0
  ./usr/${LIBDIR}/libvandrel-client.so.0
  ./usr/${DATADIR}/doc/libvandrel-client0/copyright
  ./usr/${DATADIR}/doc/libvandrel-client0/changelog.gz)
set(expected_libvandrel-client-dev
  ./usr/${INCLUDEDIR}/vandrel/client.h
  ./usr/${INCLUDEDIR}/vandrel/version.h
  ./usr/${INCLUDEDIR}/vandrel/wire.h
  ./usr/${LIBDIR}/libvandrel-client.a
  ./usr/${LIBDIR}/libvandrel-client.so
  ./usr/${LIBDIR}/pkgconfig/vandrel.pc
  ./usr/${LIBDIR}/pkgconfig/vandrel-static.pc
  ./usr/${LIBDIR}/cmake/vandrel/vandrelConfig.cmake
  ./usr/${LIBDIR}/cmake/vandrel/vandrelConfigVersion.cmake
  ./usr/${LIBDIR}/cmake/vandrel/vandrelTargets.cmake
  ./usr/${DATADIR}/doc/libvandrel-client-dev/copyright
  ./usr/${DATADIR}/doc/libvandrel-client-dev/changelog.gz)

set(failures "")
set(paths "")
foreach(package IN LISTS packages)
  file(GLOB deb "${WORK_DIR}/${package}_*.deb")
  list(LENGTH deb count)
  if(NOT count EQUAL 1)
    file(GLOB all "${WORK_DIR}/*.deb")
    message(FATAL_ERROR "expected one ${package}_*.deb in ${WORK_DIR}, found: ${all}")
  endif()
  set(deb_${package} "${deb}")
  execute_process(COMMAND dpkg-deb -c "${deb}" RESULT_VARIABLE rc OUTPUT_VARIABLE listing
    ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "dpkg-deb -c failed: ${err}")
  endif()
  message(STATUS "${package} contents:\n${listing}")
  # One path per line of the listing, the "./" kept: "./usr/bin/vandrel". A
  # symbolic link is listed as "PATH -> TARGET": its path is what counts.
  string(REGEX MATCHALL "\\./[^\n]*" package_paths "${listing}")
  list(TRANSFORM package_paths REPLACE " -> .*$" "")
  foreach(path IN LISTS expected_${package})
    if(NOT path IN_LIST package_paths)
      string(APPEND failures "missing in ${package}: ${path}\n")
    endif()
  endforeach()
  list(APPEND paths ${package_paths})
endforeach()
# Only the library's package holds the shared library, and only it runs
# ldconfig, by dpkg's trigger.
execute_process(COMMAND dpkg-deb -e "${deb_libvandrel-client0}" "${WORK_DIR}/control"
  RESULT_VARIABLE rc)
file(READ "${WORK_DIR}/control/triggers" triggers)
file(READ "${WORK_DIR}/control/shlibs" shlibs)
if(NOT triggers MATCHES "activate-noawait ldconfig")
  string(APPEND failures "libvandrel-client0 has no ldconfig trigger:\n${triggers}\n")
endif()
if(NOT shlibs MATCHES "^libvandrel-client 0 libvandrel-client0 ")
  string(APPEND failures "libvandrel-client0's shlibs file: ${shlibs}\n")
endif()

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
foreach(package IN LISTS packages)
  execute_process(COMMAND dpkg-deb -x "${deb_${package}}" "${WORK_DIR}/root" RESULT_VARIABLE rc)
endforeach()
file(READ "${WORK_DIR}/root/usr/${LIBDIR}/pkgconfig/vandrel.pc" pc)
if(NOT pc MATCHES "(^|\n)prefix=/usr\n")
  string(APPEND failures "vandrel.pc does not say prefix=/usr:\n${pc}\n")
endif()
# The unit starts the packaged program by its absolute path.
file(READ "${WORK_DIR}/root/usr/${DATADIR}/systemd/user/vandrel.service" unit)
if(NOT unit MATCHES "\nExecStart=/usr/${BINDIR}/vandrel --clients 16\n")
  string(APPEND failures "the unit does not start /usr/${BINDIR}/vandrel --clients 16:\n${unit}\n")
endif()

file(REMOVE_RECURSE "${WORK_DIR}")
if(failures)
  message(FATAL_ERROR "${failures}")
endif()

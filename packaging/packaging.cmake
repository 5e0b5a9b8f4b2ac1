# The systemd user units, the man page, the licence and the changelog, and the
# Debian package of the whole installation (cpack -G DEB in the build tree).

# The unit names the installed program by its absolute path, so it is written
# at install time, when the prefix is known (cmake --install --prefix, cpack).
# <prefix>/share/systemd/user is on the user manager's unit search path for
# the prefixes ~/.local, /usr/local and /usr.
set(VANDREL_UNIT_DIR ${CMAKE_INSTALL_DATADIR}/systemd/user)
if(IS_ABSOLUTE "${CMAKE_INSTALL_BINDIR}")
  set(VANDREL_INSTALL_BINDIR "${CMAKE_INSTALL_BINDIR}")
else()
  set(VANDREL_INSTALL_BINDIR "@INSTALL_PREFIX@/${CMAKE_INSTALL_BINDIR}")
endif()
include(${PROJECT_SOURCE_DIR}/packaging/install_prefixed.cmake)
vandrel_install_prefixed(${PROJECT_SOURCE_DIR}/packaging/vandrel.service vandrel.service
  ${VANDREL_UNIT_DIR})
install(FILES ${PROJECT_SOURCE_DIR}/packaging/vandrel.socket DESTINATION ${VANDREL_UNIT_DIR})

# The man pages carry the project's version in their title lines, where the
# sources hold the placeholder @VANDREL_VERSION@. Only the placeholder is
# replaced: a pattern could match the prose as well.
set(VANDREL_DOC_DIR ${CMAKE_CURRENT_BINARY_DIR}/doc)
set(VANDREL_MAN_PAGES vandrel.1 vandrel-ticket.1)
foreach(page IN LISTS VANDREL_MAN_PAGES)
  file(READ ${PROJECT_SOURCE_DIR}/docs/${page} man)
  string(REPLACE "@VANDREL_VERSION@" "${PROJECT_VERSION}" man "${man}")
  file(WRITE ${VANDREL_DOC_DIR}/${page}.new "${man}")
  configure_file(${VANDREL_DOC_DIR}/${page}.new ${VANDREL_DOC_DIR}/${page} COPYONLY)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/${page})
endforeach()

# The licence in the machine-readable form of Debian's copyright files.
file(READ ${PROJECT_SOURCE_DIR}/LICENSE license)
string(REGEX MATCH "Copyright \\(c\\) ([^\n]*)" holder "${license}")
set(holder "${CMAKE_MATCH_1}")
string(REGEX REPLACE "^[^\n]*\n\n[^\n]*\n\n" "" terms "${license}")
string(STRIP "${terms}" terms)
string(REPLACE "\n\n" "\n.\n" terms "${terms}")
string(REPLACE "\n" "\n " terms "${terms}")
file(WRITE ${VANDREL_DOC_DIR}/copyright.new
  "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
  "Upstream-Name: vandrel\n"
  "\n"
  "Files: *\n"
  "Copyright: ${holder}\n"
  "License: MIT\n"
  " ${terms}\n")
configure_file(${VANDREL_DOC_DIR}/copyright.new ${VANDREL_DOC_DIR}/copyright COPYONLY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/LICENSE)

# The man pages and the changelog are installed compressed, without a time stamp.
find_program(GZIP_PROGRAM gzip REQUIRED)
list(TRANSFORM VANDREL_MAN_PAGES PREPEND ${VANDREL_DOC_DIR}/ OUTPUT_VARIABLE man_pages)
list(TRANSFORM man_pages APPEND .gz OUTPUT_VARIABLE man_pages_gz)
add_custom_command(OUTPUT ${man_pages_gz} ${VANDREL_DOC_DIR}/changelog.gz
  COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/CHANGELOG.md ${VANDREL_DOC_DIR}/changelog
  COMMAND ${GZIP_PROGRAM} -9nkf ${man_pages} ${VANDREL_DOC_DIR}/changelog
  DEPENDS ${man_pages} ${PROJECT_SOURCE_DIR}/CHANGELOG.md
  VERBATIM)
add_custom_target(vandrel_docs ALL DEPENDS ${man_pages_gz} ${VANDREL_DOC_DIR}/changelog.gz)
install(FILES ${man_pages_gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${VANDREL_DOC_DIR}/copyright ${VANDREL_DOC_DIR}/changelog.gz
  DESTINATION ${CMAKE_INSTALL_DOCDIR})
# Every Debian package carries its own copyright file and changelog.
set(VANDREL_LIB_PACKAGE libvandrel-client0)
set(VANDREL_DEV_PACKAGE libvandrel-client-dev)
install(FILES ${VANDREL_DOC_DIR}/copyright ${VANDREL_DOC_DIR}/changelog.gz
  DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${VANDREL_LIB_PACKAGE} COMPONENT lib)
install(FILES ${VANDREL_DOC_DIR}/copyright ${VANDREL_DOC_DIR}/changelog.gz
  DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${VANDREL_DEV_PACKAGE} COMPONENT dev)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vandrel)
set(CPACK_PACKAGE_VENDOR "vandrel")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# Each package's description begins with its own synopsis line, so no
# package-wide summary is set (CPack would put it before every description).
set(VANDREL_PACKAGE_SYNOPSIS "Steam auth ticket broker for game engines")
set(CPACK_PACKAGE_DESCRIPTION
  "vandrel obtains Steam game-connection auth tickets on behalf of a game
client that does not talk to Steam itself. It listens on the loopback address,
starts one child process per game that loads the Steamworks runtime
(libsteam_api.so, not included: put it in /usr/lib/vandrel), and answers
ticket requests. Includes the vandrel-ticket tool and the systemd user units;
the C client library is in libvandrel-client0 and libvandrel-client-dev.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Whoever builds and ships the package names themselves here.
set(VANDREL_PACKAGE_MAINTAINER "vandrel maintainers <maintainers@vandrel.invalid>" CACHE STRING
  "The Maintainer field of the Debian package")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${VANDREL_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
# The build trees carry debug information; the package does not.
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libstdc++6 (>= 12), libgcc-s1")
# The Steam runtime is not part of the package, so dpkg-shlibdeps would not
# find libsteam_api.so; the dependencies are listed above instead.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
# Three packages, as Debian ships a library: the programs (vandrel), the
# shared library named by its SONAME (libvandrel-client0), and what programs
# build against (libvandrel-client-dev).
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL broker lib dev)
set(CPACK_DEBIAN_BROKER_PACKAGE_NAME vandrel)
set(CPACK_DEBIAN_LIB_PACKAGE_NAME ${VANDREL_LIB_PACKAGE})
set(CPACK_DEBIAN_DEV_PACKAGE_NAME ${VANDREL_DEV_PACKAGE})
set(CPACK_DEBIAN_LIB_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_LIB_PACKAGE_DEPENDS "libc6 (>= 2.34)")
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${VANDREL_LIB_PACKAGE} (= ${PROJECT_VERSION})")
set(CPACK_COMPONENT_BROKER_DESCRIPTION "${VANDREL_PACKAGE_SYNOPSIS}
${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_COMPONENT_LIB_DESCRIPTION "client library for the vandrel Steam auth ticket broker
The C library that game engines and launchers use to obtain Steam auth tickets
from a vandrel broker over its Unix socket, TCP or a private broker's pipes.")
set(CPACK_COMPONENT_DEV_DESCRIPTION "client library for the vandrel broker (development files)
Headers, the static archive, the pkg-config files (vandrel, vandrel-static)
and the CMake package (vandrel::client, vandrel::client_static) of the vandrel
client library.")
# The shared library: a shlibs file for the packages that link it, and dpkg's
# ldconfig trigger, which lintian requires. CPack's own postinst and postrm
# still call ldconfig as well (lintian warns; maintainer scripts of our own
# that do nothing would only trade it for another warning).
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/deb/triggers)
include(CPack)

if(VANDREL_BUILD_TESTS)
  # Builds the package into a temporary directory and lists what it holds.
  # It installs what is already built; build the default target first.
  enable_testing()
  add_test(NAME package
    COMMAND ${CMAKE_COMMAND}
      -DCPACK=${CMAKE_CPACK_COMMAND}
      -DCPACK_CONFIG=${CMAKE_BINARY_DIR}/CPackConfig.cmake
      -DWORK_DIR=${CMAKE_BINARY_DIR}/package-test
      -DLIBDIR=${CMAKE_INSTALL_LIBDIR}
      -DMANDIR=${CMAKE_INSTALL_MANDIR}
      -DINCLUDEDIR=${CMAKE_INSTALL_INCLUDEDIR}
      -DBINDIR=${CMAKE_INSTALL_BINDIR}
      -DDATADIR=${CMAKE_INSTALL_DATADIR}
      -DDOCDIR=${CMAKE_INSTALL_DOCDIR}
      -DWITH_STANDIN=${VANDREL_INSTALL_STANDIN}
      -P ${PROJECT_SOURCE_DIR}/packaging/check_package.cmake)
  set_tests_properties(package PROPERTIES LABELS package TIMEOUT 120
    ${VANDREL_TEST_TMPDIR_PROPERTIES})

  # The same package through lintian.
  add_test(NAME package_lintian
    COMMAND ${CMAKE_COMMAND}
      -DCPACK=${CMAKE_CPACK_COMMAND}
      -DCPACK_CONFIG=${CMAKE_BINARY_DIR}/CPackConfig.cmake
      -DWORK_DIR=${CMAKE_BINARY_DIR}/package-lintian-test
      -P ${PROJECT_SOURCE_DIR}/packaging/lint_package.cmake)

  # Installed into ~/.local: the unit, pkg-config and find_package.
  add_test(NAME install_home
    COMMAND ${CMAKE_COMMAND}
      -DBUILD_DIR=${CMAKE_BINARY_DIR}
      -DWORK_DIR=${CMAKE_BINARY_DIR}/install-test
      -DVERSION=${PROJECT_VERSION}
      -DBINDIR=${CMAKE_INSTALL_BINDIR}
      -DLIBDIR=${CMAKE_INSTALL_LIBDIR}
      -DUNIT_DIR=${VANDREL_UNIT_DIR}
      -DMANDIR=${CMAKE_INSTALL_MANDIR}
      -DGENERATOR=${CMAKE_GENERATOR}
      -DC_COMPILER=${CMAKE_C_COMPILER}
      "-DC_FLAGS=${CMAKE_C_FLAGS}"
      "-DLINKER_FLAGS=${CMAKE_EXE_LINKER_FLAGS}"
      -P ${PROJECT_SOURCE_DIR}/packaging/check_install.cmake)

  # Installed as root into /usr/local (overlays in a private mount namespace):
  # a program linked with the shared library runs at once.
  add_test(NAME install_system
    COMMAND ${CMAKE_COMMAND}
      -DBUILD_DIR=${CMAKE_BINARY_DIR}
      -DWORK_DIR=${CMAKE_BINARY_DIR}/install-system-test
      -DVERSION=${PROJECT_VERSION}
      -DC_COMPILER=${CMAKE_C_COMPILER}
      "-DC_FLAGS=${CMAKE_C_FLAGS}"
      "-DLINKER_FLAGS=${CMAKE_EXE_LINKER_FLAGS}"
      -P ${PROJECT_SOURCE_DIR}/packaging/check_system_install.cmake)

  # The installed unit as systemd sees it.
  add_test(NAME install_unit_verify
    COMMAND ${CMAKE_COMMAND}
      -DBUILD_DIR=${CMAKE_BINARY_DIR}
      -DWORK_DIR=${CMAKE_BINARY_DIR}/unit-test
      -DUNIT_DIR=${VANDREL_UNIT_DIR}
      -P ${PROJECT_SOURCE_DIR}/packaging/verify_unit.cmake)

  # A tool that is missing skips its test with a line that names it.
  set_tests_properties(package_lintian install_home install_system install_unit_verify PROPERTIES
    LABELS package TIMEOUT 180 SKIP_REGULAR_EXPRESSION "(^|\n)skipped: "
    ${VANDREL_TEST_TMPDIR_PROPERTIES})
endif()

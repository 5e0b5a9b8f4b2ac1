# The systemd user unit, the man page, and the Debian package of the whole
# installation (cpack -G DEB in the build tree).
install(FILES ${PROJECT_SOURCE_DIR}/packaging/vandrel.service DESTINATION lib/systemd/user)
install(FILES ${PROJECT_SOURCE_DIR}/docs/vandrel.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vandrel)
set(CPACK_PACKAGE_VENDOR "vandrel")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Steam auth ticket broker for game engines")
set(CPACK_PACKAGE_DESCRIPTION
  "vandrel obtains Steam game-connection auth tickets on behalf of a game client that does not talk to Steam itself. It listens on the loopback address, starts one child process per game that loads the Steamworks runtime (libsteam_api.so, not included: put it in /usr/lib/vandrel), and answers ticket requests. Includes the vandrel-ticket tool and the C client library.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "vandrel maintainers <vandrel@localhost>")
set(CPACK_DEBIAN_PACKAGE_SECTION games)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libstdc++6 (>= 12), libgcc-s1")
# The Steam runtime is not part of the package, so dpkg-shlibdeps would not
# find libsteam_api.so; the dependencies are listed above instead.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
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
      -DWITH_STANDIN=${VANDREL_INSTALL_STANDIN}
      -P ${PROJECT_SOURCE_DIR}/packaging/check_package.cmake)
  set_tests_properties(package PROPERTIES LABELS package TIMEOUT 120
    ${VANDREL_TEST_TMPDIR_PROPERTIES})
endif()

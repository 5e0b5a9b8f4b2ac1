# vandrel_install_prefixed(TEMPLATE NAME DESTINATION [COMPONENT])
#
# Installs TEMPLATE, configured now with @ONLY from the caller's variables, as
# DESTINATION/NAME, with every "@INSTALL_PREFIX@" replaced at install time by
# the prefix that the installation uses (cmake --install --prefix, cpack),
# which need not be the configured one. COMPONENT: the install component,
# by default the directory's default one.
function(vandrel_install_prefixed template name destination)
  set(component ${CMAKE_INSTALL_DEFAULT_COMPONENT_NAME})
  if(ARGC GREATER 3)
    set(component ${ARGV3})
  endif()
  set(INSTALL_PREFIX "@INSTALL_PREFIX@")
  set(configured ${CMAKE_CURRENT_BINARY_DIR}/${name}.configured)
  configure_file(${template} ${configured} @ONLY)
  if(IS_ABSOLUTE "${destination}")
    set(dir "${destination}")
  else()
    set(dir "\${CMAKE_INSTALL_PREFIX}/${destination}")
  endif()
  # The file is written beside the build tree under a name of its own for each
  # destination, so that installations running side by side (the package
  # tests) never read each other's.
  install(CODE "
    file(READ \"${configured}\" text)
    string(REPLACE \"@INSTALL_PREFIX@\" \"\${CMAKE_INSTALL_PREFIX}\" text \"\${text}\")
    string(SHA1 tag \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}\")
    set(file \"${CMAKE_CURRENT_BINARY_DIR}/${name}.\${tag}\")
    file(WRITE \"\${file}\" \"\${text}\")
    file(INSTALL DESTINATION \"${dir}\" TYPE FILE RENAME ${name} FILES \"\${file}\")
    file(REMOVE \"\${file}\")" COMPONENT ${component})
endfunction()

# Installation of the Linux program's documentation and shell completion, and
# the Debian package (cpack -G DEB in the build tree makes
# btsetter_<version>_<arch>.deb).  Included from the top-level CMakeLists.txt
# for builds other than Windows.

# The manual page is installed compressed, as Debian ships manual pages.
set(btsetter_manpage ${PROJECT_SOURCE_DIR}/docs/btsetter.1)
find_program(BTSETTER_GZIP gzip)
if(BTSETTER_GZIP)
  set(btsetter_manpage_gz ${PROJECT_BINARY_DIR}/docs/btsetter.1.gz)
  add_custom_command(OUTPUT ${btsetter_manpage_gz}
    COMMAND ${CMAKE_COMMAND} -E copy ${btsetter_manpage} ${PROJECT_BINARY_DIR}/docs/btsetter.1
    COMMAND ${BTSETTER_GZIP} -9 -n -f ${PROJECT_BINARY_DIR}/docs/btsetter.1
    DEPENDS ${btsetter_manpage}
    COMMENT "Compressing the manual page"
    VERBATIM)
  add_custom_target(btsetter_manpage ALL DEPENDS ${btsetter_manpage_gz})
  install(FILES ${btsetter_manpage_gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
  install(FILES ${btsetter_manpage} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

install(FILES ${PROJECT_SOURCE_DIR}/scripts/btsetter-completion.bash
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions
  RENAME btsetter)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/btsetter)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME btsetter)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "btsetter developers")
set(CPACK_PACKAGE_CONTACT "btsetter developers <btsetter@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "configure HC-04 and HC-06 Bluetooth serial modules")
set(CPACK_PACKAGE_HOMEPAGE_URL https://btsetter.example.org)
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

# The extended description; CPack puts the summary in front of it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "btsetter reads the firmware version of an HC-04 or HC-06 Bluetooth module
with the linvor firmware, in AT mode, through a serial port (a USB-to-serial
adapter or an on-board UART) and sets its Bluetooth name, pairing PIN and
baud rate. It picks the first USB serial port and finds the module's baud
rate by itself when they are not given, and lists the serial ports of the
machine.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE ${CPACK_PACKAGE_HOMEPAGE_URL})
# Runtime dependencies from the linked shared libraries (dpkg-shlibdeps, in
# dpkg-dev, and file); TCLAP is header-only and adds none.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)

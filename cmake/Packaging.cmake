# Installation and the Debian package.
#
#   cmake --install build --prefix DIR     the program, its manual page, the systemd unit, the
#                                          logrotate file and the example configuration, in DIR
#   cd build && cpack -G DEB               build/quenlowftp_<version>-1_<arch>.deb
#
# Under the prefix /usr (as in the package) the unit goes to /lib/systemd/system and the
# logrotate file to /etc/logrotate.d, where Debian 12 has them; under any other prefix both stay
# inside it, so that an install into a folder writes nothing outside that folder.

# Debian names the documentation folder after the package, not after the project. (Qt's
# package files include GNUInstallDirs first, leaving the cache entry empty unless one was
# given.)
if(NOT CMAKE_INSTALL_DOCDIR)
  set(CMAKE_INSTALL_DOCDIR share/doc/quenlowftp)
endif()
include(GNUInstallDirs)
find_program(QFTP_GZIP gzip REQUIRED)

set(QFTP_PACKAGING_DIR "${PROJECT_SOURCE_DIR}/packaging")

install(TARGETS quenlowftp RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# What the install script needs to know of this configuration. The rules that follow are run
# at install time because where they install depends on the prefix given then.
install(CODE "
  set(QFTP_PACKAGING_DIR \"${QFTP_PACKAGING_DIR}\")
  set(QFTP_MAN_PAGE \"${PROJECT_SOURCE_DIR}/man/quenlowftp.1\")
  set(QFTP_MANDIR \"${CMAKE_INSTALL_MANDIR}\")
  set(QFTP_GZIP \"${QFTP_GZIP}\")
")

# The manual page, compressed as Debian wants it (-n: no name or time stamp, so that two builds
# of the same page give the same file).
install(CODE [[
  if(IS_ABSOLUTE "${QFTP_MANDIR}")
    set(_qftp_dir "$ENV{DESTDIR}${QFTP_MANDIR}/man1")
  else()
    set(_qftp_dir "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/${QFTP_MANDIR}/man1")
  endif()
  if(NOT EXISTS "${QFTP_MAN_PAGE}")
    message(FATAL_ERROR "The manual page ${QFTP_MAN_PAGE} is missing")
  endif()
  message(STATUS "Installing: ${_qftp_dir}/quenlowftp.1.gz")
  file(MAKE_DIRECTORY "${_qftp_dir}")
  execute_process(COMMAND "${QFTP_GZIP}" -9 -n -c "${QFTP_MAN_PAGE}"
                  OUTPUT_FILE "${_qftp_dir}/quenlowftp.1.gz" RESULT_VARIABLE _qftp_status)
  if(NOT _qftp_status EQUAL 0)
    message(FATAL_ERROR "gzip could not compress ${QFTP_MAN_PAGE}: ${_qftp_status}")
  endif()
  file(CHMOD "${_qftp_dir}/quenlowftp.1.gz"
       PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${_qftp_dir}/quenlowftp.1.gz")
]])

# The systemd unit and the logrotate file: beside /usr for the prefix /usr, else in the prefix.
install(CODE [[
  string(REGEX REPLACE "/+$" "" _qftp_prefix "${CMAKE_INSTALL_PREFIX}")
  if(_qftp_prefix STREQUAL "/usr")
    set(_qftp_prefix "")
  endif()
  file(INSTALL DESTINATION "${_qftp_prefix}/lib/systemd/system" TYPE FILE
       PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
       FILES "${QFTP_PACKAGING_DIR}/quenlowftp.service")
  file(INSTALL DESTINATION "${_qftp_prefix}/etc/logrotate.d" TYPE FILE
       PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
       RENAME quenlowftp FILES "${QFTP_PACKAGING_DIR}/quenlowftp.logrotate")
]])

# The first configuration of the system service: postinst copies it to /etc/quenlowftp. The
# same file is the documented example.
install(FILES ${QFTP_PACKAGING_DIR}/registry.reg DESTINATION ${CMAKE_INSTALL_DATADIR}/quenlowftp)
install(FILES ${QFTP_PACKAGING_DIR}/registry.reg DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
install(FILES ${QFTP_PACKAGING_DIR}/README.Debian DESTINATION ${CMAKE_INSTALL_DOCDIR})

# ---- The Debian package ----
set(QFTP_PACKAGE_MAINTAINER "Quenlow FTP maintainers <maintainers@quenlowftp.invalid>"
    CACHE STRING "The Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quenlowftp)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${QFTP_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "FTP server that shares one folder")
# No double quotes: CPack does not carry them into the control file.
set(CPACK_PACKAGE_DESCRIPTION
    "Quenlow FTP shares one folder, pub, with FTP clients over RFC 959 with
the usual extensions (EPSV/EPRT, REST STREAM, SIZE/MDTM, MODE Z, explicit
TLS). It admits clients by IP rules, limits bandwidth by a weekly schedule
and serves a monitoring console.

This package runs it as the systemd service quenlowftp.service, as the
system user quenlowftp, sharing /srv/ftp with anonymous clients read-only;
its settings are in /etc/quenlowftp. The same program has a windowed front
end and administration commands for accounts, IP rules, certificates and
settings.")
# CPACK_PACKAGING_INSTALL_PREFIX (/usr for the .deb) is set there, per generator.
set(CPACK_PROJECT_CONFIG_FILE ${QFTP_PACKAGING_DIR}/CPackOptions.cmake)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${QFTP_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The libraries come from dpkg-shlibdeps; postinst makes the service account with adduser.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "logrotate")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${QFTP_PACKAGING_DIR}/conffiles ${QFTP_PACKAGING_DIR}/postinst
    ${QFTP_PACKAGING_DIR}/prerm ${QFTP_PACKAGING_DIR}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# "make package_source": the sources without build trees, packages or the repository.
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES
    "/\\\\.git/" "/build[^/]*/" "/_CPack_Packages/" "/__pycache__/" "\\\\.deb$")
include(CPack)

# ---- Tests of the installation and the package ----
if(QFTP_TESTS)
  find_package(Python3 COMPONENTS Interpreter REQUIRED)
  set(QFTP_PACKAGING_TEST_ENV
      "QFTP_BUILD_DIR=${CMAKE_BINARY_DIR}"
      "QFTP_SOURCE_DIR=${PROJECT_SOURCE_DIR}"
      "QFTP_VERSION=${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}"
      "CMAKE_COMMAND=${CMAKE_COMMAND}"
      "CPACK_COMMAND=${CMAKE_CPACK_COMMAND}"
      "PYTHONDONTWRITEBYTECODE=1")
  foreach(suite IN ITEMS install scripts deb)
    add_test(NAME packaging_${suite}
             COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/tests/packaging/test_packaging.py
                     ${suite})
    set_tests_properties(packaging_${suite} PROPERTIES
             ENVIRONMENT "${QFTP_PACKAGING_TEST_ENV}" TIMEOUT 600 SKIP_RETURN_CODE 77)
  endforeach()
endif()

# Read by cpack for each generator it runs (CPACK_PROJECT_CONFIG_FILE).

# The Debian package installs under /usr (its unit and logrotate file then go to /lib and
# /etc); the source package keeps the tree as it is.
if(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
endif()

# Debian packages: cpack -G DEB in a build configured with -DCMAKE_INSTALL_PREFIX=/usr
# (scripts/package does that). Two packages, one per install component: ledboard, the console
# tool with its udev rule, and, in a build with the daemon, ledboardd, which needs the tool's
# package for that rule. Apart, the tool's users never get the daemon's libraries (libmosquitto,
# libstdc++).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ledboard)
set(CPACK_PACKAGE_VENDOR "The ledboard developers")
set(CPACK_PACKAGE_CONTACT "ledboard developers <ledboard@example.org>")
# Each package's description below starts with its own synopsis. CPack's DEB generator puts the
# one summary in front of every component's description unless the summary is CPack's own
# default, so that default it is (it appears in no package).
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${CMAKE_PROJECT_NAME} built using CMake")
set(CPACK_PACKAGING_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON) # Depends computed from each binary by dpkg-shlibdeps

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ledboard)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

set(CPACK_DEBIAN_LEDBOARD_PACKAGE_NAME ledboard)
set(CPACK_DEBIAN_LEDBOARD_PACKAGE_SECTION utils)
string(CONCAT CPACK_DEBIAN_LEDBOARD_DESCRIPTION
  "${PROJECT_DESCRIPTION}\n"
  "ledboard drives a small USB LED board (ID 1384:8888) through its two vendor\n"
  "requests: it sends an LED value and prints the LED state, the push button and\n"
  "the four jumpers the board reports. A udev rule gives the logged-in user\n"
  "and the plugdev group access to the board.")

if(LEDBOARD_DAEMON)
  list(APPEND CPACK_COMPONENTS_ALL ledboardd)
  set(CPACK_DEBIAN_LEDBOARDD_PACKAGE_NAME ledboardd)
  set(CPACK_DEBIAN_LEDBOARDD_PACKAGE_SECTION net)
  set(CPACK_COMPONENT_LEDBOARDD_DEPENDS ledboard)
  string(CONCAT CPACK_DEBIAN_LEDBOARDD_DESCRIPTION
    "Service that bridges USB LED boards to MQTT and HTTP\n"
    "ledboardd serves every USB LED board (ID 1384:8888) of a host, across\n"
    "replugs: it publishes each board's LEDs, push button and jumpers on an MQTT\n"
    "broker, with Home Assistant discovery, takes LED values from MQTT, and can\n"
    "serve an HTTP API with a live page. The systemd unit ledboardd.service is\n"
    "installed but not enabled: configure the broker in\n"
    "/etc/ledboard/ledboardd.conf first.")
  # The example configuration is the administrator's to edit: a conffile, which an upgrade does
  # not overwrite.
  cmake_path(ABSOLUTE_PATH LEDBOARD_CONFIG_DIR BASE_DIRECTORY "${CPACK_PACKAGING_INSTALL_PREFIX}"
    OUTPUT_VARIABLE packaged_config_dir)
  set(conffiles "${CMAKE_CURRENT_BINARY_DIR}/ledboardd-control/conffiles")
  file(WRITE "${conffiles}" "${packaged_config_dir}/ledboardd.conf\n")
  set(CPACK_DEBIAN_LEDBOARDD_PACKAGE_CONTROL_EXTRA "${conffiles}")
endif()
include(CPack)

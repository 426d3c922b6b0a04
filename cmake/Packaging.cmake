# A Debian package of the tool: cpack -G DEB in a build configured with -DCMAKE_INSTALL_PREFIX=/usr
# (scripts/package does that).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ledboard)
set(CPACK_PACKAGE_VENDOR "The ledboard developers")
set(CPACK_PACKAGE_CONTACT "ledboard developers <ledboard@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION
  "ledboard drives a small USB LED board (ID 1384:8888) through its two vendor\n"
  "requests: it sends an LED value and prints the LED state, the push button and\n"
  "the four jumpers the board reports. A udev rule gives the logged-in user\n"
  "and the plugdev group access to the board.")
string(CONCAT CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
set(CPACK_PACKAGING_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON) # Depends computed from the binary by dpkg-shlibdeps
include(CPack)

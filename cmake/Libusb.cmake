# libusb 0.1 (usb.h). Debian ships the original 0.1.12 as libusb-dev; Fedora, Arch and Homebrew ship
# the libusb-1.0 based compat layer. Both install a pkg-config module named "libusb"; a plain
# usb.h plus libusb is the fallback for systems without the .pc file.
#
# Two targets come out of this, so that the unit tests can link the device code against a fake of
# the library instead of the real one:
#   ledboard::usb_headers  the declarations only
#   ledboard::usb          the declarations and the library itself
find_package(PkgConfig QUIET)
if(PkgConfig_FOUND)
  pkg_check_modules(LIBUSB QUIET IMPORTED_TARGET libusb)
endif()

add_library(ledboard_usb_headers INTERFACE)
add_library(ledboard::usb_headers ALIAS ledboard_usb_headers)
add_library(ledboard_usb INTERFACE)
add_library(ledboard::usb ALIAS ledboard_usb)

if(LIBUSB_FOUND)
  # libusb-compat-0.1's pkg-config file says emulated=1; Debian's 0.1.12 has no such variable.
  pkg_get_variable(LIBUSB_EMULATED libusb emulated)
  message(STATUS "libusb ${LIBUSB_VERSION} found through pkg-config")
  target_include_directories(ledboard_usb_headers INTERFACE ${LIBUSB_INCLUDE_DIRS})
  target_link_libraries(ledboard_usb INTERFACE ledboard_usb_headers PkgConfig::LIBUSB)
else()
  find_path(LIBUSB_INCLUDE_DIR usb.h)
  find_library(LIBUSB_LIBRARY NAMES usb)
  if(NOT LIBUSB_INCLUDE_DIR OR NOT LIBUSB_LIBRARY)
    message(FATAL_ERROR
      "libusb 0.1 (usb.h) was not found. Install its development package:\n"
      "  Debian/Ubuntu: sudo apt-get install libusb-dev\n"
      "  Fedora:        sudo dnf install libusb-compat-0.1-devel\n"
      "  Arch Linux:    sudo pacman -S libusb-compat\n"
      "  Homebrew:      brew install libusb-compat")
  endif()
  message(STATUS "libusb found: ${LIBUSB_LIBRARY}")
  target_include_directories(ledboard_usb_headers INTERFACE ${LIBUSB_INCLUDE_DIR})
  target_link_libraries(ledboard_usb INTERFACE ledboard_usb_headers ${LIBUSB_LIBRARY})
endif()

# The tool words some hints differently for libusb-compat (see UsbFlavor in device/).
if(LIBUSB_EMULATED STREQUAL "1")
  set(compat_default ON)
else()
  set(compat_default OFF)
endif()
option(LEDBOARD_LIBUSB_COMPAT "libusb 0.1 is libusb-compat-0.1 on libusb-1.0" ${compat_default})
message(STATUS "libusb-compat-0.1: ${LEDBOARD_LIBUSB_COMPAT}")
target_compile_definitions(ledboard_usb_headers INTERFACE
  LEDBOARD_LIBUSB_COMPAT=$<BOOL:${LEDBOARD_LIBUSB_COMPAT}>)

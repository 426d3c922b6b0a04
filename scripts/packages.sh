# Sourced by the scripts in this folder: makes sure Debian packages are installed.
#
#   require_packages PACKAGE...
#
# Missing packages are installed with apt-get when running as root; otherwise the exact command
# is printed and the script stops. On systems without dpkg nothing is checked: the build reports
# what it cannot find.

require_packages() {
    command -v dpkg-query >/dev/null 2>&1 || return 0
    local missing=() package
    for package in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
            missing+=("$package")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "Missing packages. Install them with:" >&2
        echo "  sudo apt-get install -y ${missing[*]}" >&2
        exit 1
    fi
    echo "Installing: ${missing[*]}" >&2
    # Only refresh the package lists when an install needs it; a fresh machine has none.
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}" >/dev/null 2>&1 || {
        apt-get update -q
        DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}"
    }
}

# What building the tool needs.
BUILD_PACKAGES=(g++ cmake ninja-build pkg-config libusb-dev)
# What the simulated board needs, and its test that libusb-1.0 programs see the board too.
SIMULATOR_PACKAGES=(umockdev libumockdev-dev libusb-1.0-0-dev)
# What ledboardd, the MQTT and HTTP bridge, needs to build, and what its tests run: a broker of
# their own, its command-line clients, the Python client the end-to-end test is written with,
# openssl for the throwaway CA and certificates of its TLS tests, strace, which shows the system
# calls the unit's sandbox has to allow, and prometheus (with promtool), which checks and scrapes
# its metrics.
DAEMON_PACKAGES=(libmosquitto-dev libcli11-dev nlohmann-json3-dev libmicrohttpd-dev)
DAEMON_TEST_PACKAGES=(mosquitto mosquitto-clients python3-paho-mqtt openssl strace prometheus)
# What scripts/demo-service runs beside the daemon: a broker of its own, and the clients it tells
# the user to type (mosquitto_sub, curl).
SERVICE_DEMO_PACKAGES=(mosquitto mosquitto-clients curl)
# What building and checking the Debian package needs (dpkg-shlibdeps computes its Depends).
PACKAGING_PACKAGES=(dpkg-dev lintian)
# What the live page's test drives: a headless Chromium through its WebDriver, from Python.
PAGE_TEST_PACKAGES=(chromium chromium-driver python3-selenium)
# What checking the documentation needs: mandoc lints the man pages, groff renders them as man(1)
# does; systemd-analyze checks ledboardd's unit, and runs man(1) to find the page it names.
DOC_PACKAGES=(mandoc groff-base systemd man-db)
# What the CI gates need beyond the tests: clang for the second compiler, the analysers, and the
# fuzzing runtime.
CHECK_PACKAGES=(clang clang-tidy clang-format cppcheck libclang-rt-14-dev)

# The CMake arguments for a build with Debian's flags, as dpkg-buildpackage would give them:
# fortify, stack protector, full RELRO (+all adds bindnow), PIE. CMake does not read CPPFLAGS, so
# they go with the compiler flags; build type None adds nothing of CMake's own.
debian_build_arguments() {
    flags() { DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get "$1"; }
    printf '%s\n' -DCMAKE_BUILD_TYPE=None \
        "-DCMAKE_C_FLAGS=$(flags CFLAGS) $(flags CPPFLAGS)" \
        "-DCMAKE_CXX_FLAGS=$(flags CXXFLAGS) $(flags CPPFLAGS)" \
        "-DCMAKE_EXE_LINKER_FLAGS=$(flags LDFLAGS)"
}

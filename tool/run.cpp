#include "run.hpp"

#include "arguments.hpp"
#include "ledboard_device.hpp"

#include <array>
#include <string_view>

namespace {

// Where `cmake --install` puts the udev rule; set by the build.
constexpr const char* UDEV_RULES = LEDBOARD_UDEV_RULES_DIR "/60-ledboard.rules";

constexpr const char* USAGE_HEAD = R"(Usage: ledboard NUMBER
Set the LEDs of the USB LED board (ID 1384:8888) and print what the board reports.

The low five bits of NUMBER are sent to the board as its LED value. NUMBER is read
like atoi(3): leading blanks, an optional sign, then decimal digits; anything else
ends it, and text without digits counts as 0.

Output:
  LED  d  N   the LED state the board reports, 0 to 7
  PUSH d  N   1 while the push button is held down, else 0
  JUMP b  N   the fitted jumpers, one bit each, 0 to f (hexadecimal)

Without NUMBER it prints "you need LED data"; when no usable board is found it
prints "Plugin your USB device1". Both are normal outcomes with exit status 0.

Exit status:
  0  the board's status was printed, or one of the two messages above
  1  a request to the board failed, or the output could not be written

Permissions: users need read and write access to the board's USB device node.
)";

constexpr const char* USAGE_TAIL = R"(
Options (only as the first argument):
  -h, --help  show this help
  --version   show the version
)";

void printUsage(std::FILE* out)
{
    std::fputs(USAGE_HEAD, out);
    std::fprintf(out, "The udev rule %s grants it; see ledboard(1).\n", UDEV_RULES);
    std::fputs(USAGE_TAIL, out);
}

// What to do about a board whose device node the user may not write.
void printPermissionFix(std::FILE* err)
{
    std::fprintf(err,
                 "ledboard: to fix this, install the udev rule %s\n"
                 "ledboard:   (or copy it to /etc/udev/rules.d), then run\n"
                 "ledboard:   sudo udevadm control --reload && sudo udevadm trigger\n"
                 "ledboard:   and replug the board; or run ledboard as root\n",
                 UDEV_RULES);
}

int reportFailure(std::FILE* err, const char* what, int result, const char* reason)
{
    std::fprintf(err, "ledboard: %s: %s\n", what, reason);
    if (isPermissionError(result)) {
        printPermissionFix(err);
    }
    return EXIT_STATUS_FAILURE;
}

} // namespace

int runLedboard(std::span<char* const> args, std::FILE* out, std::FILE* err)
{
    if (args.size() <= 1) {
        std::fputs("you need LED data\n", out);
        return EXIT_STATUS_OK;
    }
    // Only an exact first argument is an option: anything else is an LED number, as it always was.
    const std::string_view first = args[1];
    if (first == "--help" || first == "-h") {
        printUsage(out);
        return EXIT_STATUS_OK;
    }
    if (first == "--version") {
        std::fputs("ledboard " LEDBOARD_VERSION "\n", out);
        return EXIT_STATUS_OK;
    }
    const int number = parseLedNumber(first);

    usb_dev_handle* opened = nullptr;
    const int lookup = usbOpenDevice(&opened, DEVICE_VENDOR_ID, DEVICE_PRODUCT_ID);
    if (lookup != 0) {
        // Scripts look for this exact text and exit status.
        std::fprintf(out, "Plugin your USB device%d \n", lookup);
        // A board that is listed but was refused could not answer: usually a node the user
        // may only read.
        if (const auto listed = usbFindListedDevice(DEVICE_VENDOR_ID, DEVICE_PRODUCT_ID)) {
            std::fprintf(err,
                         "ledboard: a board is on bus %s device %s, but it could not be read: "
                         "most likely no permission to its device node\n",
                         listed->bus, listed->device);
            printPermissionFix(err);
        }
        return EXIT_STATUS_OK;
    }
    const DeviceHandle handle{opened};

    StatusReply reply;
    const int sent = usbSetLeds(handle.get(), number, reply);
    if (sent < 0) {
        return reportFailure(err, "cannot send the LED value", sent, usbLastError());
    }
    // The board answers every request with its status; only the last reply is decoded, so the
    // first read may fail without harm.
    usbReadStatus(handle.get(), reply);
    const int received = usbReadStatus(handle.get(), reply);
    if (received < 0) {
        return reportFailure(err, "cannot read the status", received, usbLastError());
    }
    if (received < STATUS_DECODED_LENGTH) {
        std::array<char, 64> reason{};
        std::snprintf(reason.data(), reason.size(), "the board sent %d of %d bytes needed",
                      received, STATUS_DECODED_LENGTH);
        return reportFailure(err, "cannot read the status", received, reason.data());
    }

    const BoardStatus status = decodeStatus(reply);
    std::fprintf(out, "LED  d %2x\n", status.led);
    std::fprintf(out, "PUSH d %2x\n", status.push);
    std::fprintf(out, "JUMP b %2x\n", status.jump);
    return EXIT_STATUS_OK;
}

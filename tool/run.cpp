#include "run.hpp"

#include "actions.hpp"
#include "board.hpp"
#include "hints.hpp"
#include "options.hpp"

#include <cstring>

namespace {

constexpr const char* USAGE_HEAD = R"(Usage: ledboard NUMBER
       ledboard [--device BUS/DEV | --serial TEXT] NUMBER|--status|--watch [MS]
       ledboard --list
Set the LEDs of the USB LED board (ID 1384:8888) and print what the board reports.

The low five bits of NUMBER are sent to the board as its LED value. NUMBER is read
like atoi(3): leading white space, an optional sign, then decimal digits; anything
else ends it, and text without digits counts as 0. After --device or --serial it
must be decimal digits with an optional sign.

Output:
  LED  d  N   the LED state the board reports, 0 to 7: three of the five bits
              sent, so a board that shows its value reads back 0 after 8
  PUSH d  N   1 while the push button is held down, else 0
  JUMP b  N   the fitted jumpers, one bit each, 0 to f (hexadecimal)

Without NUMBER it prints "you need LED data"; when no usable board is found it
prints "Plugin your USB device1 " (with a space at the end). Both are normal
outcomes with exit status 0.

Options (only at the start of the command line, exactly as written here):
  --list            list the boards, one line each, fields separated by tabs:
                    BUS/DEV, "usable", manufacturer, product, serial number (empty
                    when there is none or it cannot be read); or BUS/DEV,
                    "unusable", and why
  --device BUS/DEV  use the board at this bus and device number, as --list and
                    lsusb show them (BUS:DEV works too): ledboard --device 001/004 5
  --serial TEXT     use the board whose serial number is TEXT (every board is
                    asked for it): ledboard --serial A17 --status
  --status          print the three status lines without setting the LEDs
  --watch [MS]      read the status every MS milliseconds (10 to 60000, default 50)
                    and print "LED PUSH JUMP" (e.g. "5 1 0", JUMP in hexadecimal)
                    at the start and at each change, until interrupted
  -h, --help        show this help
  --version         show the version

Exit status:
  0  the board's status was printed, or one of the two messages above; --list
     found a board; --watch was interrupted or its reader went away
  1  the LED request or the last status read failed, or its reply was too
     short (under 2 bytes); the output could not be written; or there was no
     board to use (but for the plain NUMBER, which prints the message above)
  2  the command line is wrong

Permissions: users need read and write access to the board's USB device node.
)";

void printUsage(std::FILE* out)
{
    std::fputs(USAGE_HEAD, out);
    std::fprintf(out, "The udev rule %s grants it; see ledboard(1).\n", INSTALLED_UDEV_RULE);
}

// The plain command line, `ledboard NUMBER`: scripts rely on its exact output and exit statuses.
int setLedsOnFirstBoard(int number, std::FILE* out, std::FILE* err)
{
    usb_dev_handle* opened = nullptr;
    RefusedBoard refused{};
    const int lookup = usbOpenDevice(&opened, DEVICE_VENDOR_ID, DEVICE_PRODUCT_ID, &refused);
    if (lookup != 0) {
        // Scripts look for this exact text and exit status.
        std::fprintf(out, "Plugin your USB device%d \n", lookup);
        explainLookupFailure(err, refused);
        return EXIT_STATUS_OK;
    }
    const DeviceHandle board{opened};
    return setLeds(board.get(), number, out, err);
}

} // namespace

int runLedboard(std::span<char* const> args, std::FILE* out, std::FILE* err)
{
    const ParsedCommandLine parsed = parseCommandLine(args);
    if (!parsed.ok()) {
        std::fprintf(err, "ledboard: %s\nTry 'ledboard --help' for more information.\n",
                     parsed.error.data());
        return EXIT_STATUS_USAGE;
    }
    const Options& options = parsed.options;
    switch (options.action) {
    case Action::NeedData:
        std::fputs("you need LED data\n", out);
        return EXIT_STATUS_OK;
    case Action::Help:
        printUsage(out);
        return EXIT_STATUS_OK;
    case Action::Version:
        std::fputs("ledboard " LEDBOARD_VERSION "\n", out);
        return EXIT_STATUS_OK;
    case Action::List:
        return listBoards(out, err);
    case Action::SetLeds:
        if (options.choice == Choice::FirstBoard) {
            // A mistyped option is still the LED number, as it always was; at least say so.
            if (std::strncmp(args[1], "--", 2) == 0) {
                std::fprintf(err,
                             "ledboard: '%s' is not an option: read as the LED number %d (see "
                             "ledboard --help)\n",
                             args[1], options.number);
            }
            return setLedsOnFirstBoard(options.number, out, err);
        }
        break;
    case Action::Status:
    case Action::Watch:
        break;
    }
    const DeviceHandle board = chooseBoard(options, err);
    if (!board) {
        return EXIT_STATUS_FAILURE;
    }
    switch (options.action) {
    case Action::Status:
        return printStatus(board.get(), out, err);
    case Action::Watch:
        return watchBoard(board.get(), options.intervalMs, out, err);
    default:
        return setLeds(board.get(), options.number, out, err);
    }
}

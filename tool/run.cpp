#include "run.hpp"

#include "actions.hpp"
#include "arguments.hpp"
#include "board.hpp"
#include "hints.hpp"
#include "options.hpp"
#include "text.hpp"
#include "wait.hpp"

#include <cerrno>
#include <cstring>
#include <optional>

namespace {

constexpr const char* USAGE_HEAD = R"(Usage: ledboard NUMBER
       ledboard [--json] [--wait [SECONDS]] [CHOICE] ACTION
       ledboard [--json] --list
CHOICE is --device BUS/DEV, --serial TEXT or --path PORTS; ACTION is NUMBER,
--status, --watch [MS] or --wait-press [SECONDS].
Set the LEDs of the USB LED board (ID 1384:8888) and print what it reports.

The low five bits of NUMBER are sent to the board as its LED value. NUMBER is
read like atoi(3): leading white space, an optional sign, then decimal digits;
anything else ends it, and text without digits counts as 0. After an option it
must be decimal digits with an optional sign. A word of -- and a letter is never
NUMBER: one that is not an option below (--stauts, --watch=100) is an error.

Output:
  LED  d  N   the LED state the board reports, 0 to 7: three of the five bits
              sent, so a board that shows its value reads back 0 after 8
  PUSH d  N   1 while the push button is held down, else 0
  JUMP b  N   the fitted jumpers, one bit each, 0 to f (hexadecimal)

Without NUMBER it prints "you need LED data"; when no usable board is found it
prints "Plugin your USB device1 " (with a space at the end). Both are normal
outcomes with exit status 0.

Options (only at the start of the command line, exactly as written here, each
once, the action last):
  --list            list the boards, one line each, fields separated by tabs:
                    BUS/DEV, "usable", manufacturer, product, serial number
                    (empty when there is none or it cannot be read), port
                    path; or BUS/DEV, "unusable", why, port path
  --device BUS/DEV  use the board at this bus and device number, as --list and
                    lsusb show them, e.g. 001/004 (BUS:DEV works too)
  --serial TEXT     use the board whose serial number is TEXT (every board is
                    asked for it): ledboard --serial A17 --status
  --path PORTS      use the board at this port, as --list shows it; unlike the
                    device number it stays when the board is replugged into
                    the same socket: ledboard --path 1-1.4 --status
  --status          print the three status lines without setting the LEDs
  --watch [MS]      read the status every MS milliseconds (10 to 60000,
                    default 50) and print "LED PUSH JUMP" (e.g. "5 1 0", JUMP
                    in hexadecimal) at the start and at each change, until
                    interrupted
  --wait-press [SECONDS]
                    wait for a press of the push button (the button going
                    down), at most SECONDS; print "LED PUSH JUMP" at the press
  --wait [SECONDS]  wait until the board is there, at most SECONDS (but a
                    number that is the last word is NUMBER: ledboard --wait 5);
                    --watch and --wait-press then also wait for it to come
                    back after an unplug (a watch prints "gone" and "back")
  --json            print JSON Lines, one object per line (see ledboard(1))
  -h, --help        show this help
  --version         show the version

Exit status:
  0  the board's status was printed, or one of the two messages above; --list
     found a board; --wait-press saw a press; --watch was stopped by SIGINT or
     SIGTERM, or its reader went away
  1  the board failed: a request failed or its reply was too short (under 2
     bytes); or the output could not be written
  2  the command line is wrong
  3  no such board (with the options): none matched, --list found none, or
     --wait gave up
  4  --wait-press reached its time limit without a press
  130, 143  --wait-press was stopped by SIGINT or SIGTERM: no press

Permissions: users need read and write access to the board's USB device node.
)";

void printUsage(std::FILE* out)
{
    std::fputs(USAGE_HEAD, out);
    printRuleSentence(out);
}

// The plain command line, `ledboard NUMBER`: scripts rely on its exact output and exit statuses.
// What it does without a word (a word read as 0, words ignored, a board passed over) it says on
// stderr.
int setLedsOnFirstBoard(const Options& options, std::span<char* const> args, std::FILE* out,
                        std::FILE* err)
{
    const char* first = args[1];
    if (first[0] == '-' && !isPlainNumber(first)) {
        FixedTextBuffer<USER_TEXT_LENGTH> word;
        appendPrintable(word, first);
        std::fprintf(err,
                     "ledboard: '%s' is not an option: read as the LED number %d (see ledboard "
                     "--help)\n",
                     word.text(), options.number);
    }
    if (options.ignored != nullptr) {
        FixedTextBuffer<USER_TEXT_LENGTH> words;
        for (std::size_t i = 2; i < args.size(); ++i) {
            words.appendf("%s", i == 2 ? "" : " ");
            appendPrintable(words, args[i]);
        }
        std::fprintf(err,
                     "ledboard: ignored what follows the LED number ('%s'): options go first "
                     "(see ledboard --help)\n",
                     words.text());
    }
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
    notePassedOver(err, refused, board.get());
    if (options.ignored != nullptr && refused.location.bus == nullptr) {
        const DeviceLocation used = usbLocationOf(usbDeviceOf(board.get()));
        std::fprintf(err, "ledboard: used the board at %s/%s\n", used.bus, used.device);
    }
    return setLeds(board.get(), options.number, false, out, err);
}

// What follows the choice of a board: the action itself.
int act(DeviceHandle& board, const Options& options, const StopSignals* signals, std::FILE* out,
        std::FILE* err)
{
    switch (options.action) {
    case Action::Status:
        return printStatus(board.get(), options.json, out, err);
    case Action::Watch:
    case Action::WaitPress:
        return followBoard(board, options, *signals, out, err);
    default:
        return setLeds(board.get(), options.number, options.json, out, err);
    }
}

} // namespace

int runLedboard(std::span<char* const> args, std::FILE* out, std::FILE* err, bool outClosed)
{
    const ParsedCommandLine parsed = parseCommandLine(args);
    if (!parsed.ok()) {
        FixedTextBuffer<USER_TEXT_LENGTH> message;
        appendPrintable(message, parsed.error.data());
        std::fprintf(err, "ledboard: %s\nTry 'ledboard --help' for more information.\n",
                     message.text());
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
        return listBoards(options.json, out, err);
    case Action::SetLeds:
        if (options.plain) {
            return setLedsOnFirstBoard(options, args, out, err);
        }
        break;
    case Action::Status:
        break;
    case Action::Watch:
    case Action::WaitPress:
        // These print as they go, for as long as they run: with nowhere to print, end now.
        if (outClosed) {
            std::fprintf(err, "ledboard: cannot write the output: %s\n", std::strerror(EBADF));
            return EXIT_STATUS_FAILURE;
        }
        break;
    }
    std::optional<StopSignals> signals;
    if (options.action == Action::Watch || options.action == Action::WaitPress) {
        signals.emplace();
    }
    const StopSignals* stops = signals ? &*signals : nullptr;
    if (options.wait) {
        Waited waited = waitForChoice(options, err, stops);
        if (!waited.board) {
            if (StopSignals::stopped() && options.action == Action::WaitPress) {
                return EXIT_STATUS_SIGNAL_BASE + StopSignals::signal();
            }
            return waited.status;
        }
        return act(waited.board, options, stops, out, err);
    }
    DeviceHandle board = chooseBoard(options, err);
    if (!board) {
        return EXIT_STATUS_NO_BOARD;
    }
    return act(board, options, stops, out, err);
}

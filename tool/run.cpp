#include "run.hpp"

#include "arguments.hpp"
#include "ledboard_device.hpp"

#include <string>

namespace {

int reportFailure(std::FILE* err, const char* what, const std::string& reason)
{
    std::fprintf(err, "ledboard: %s: %s\n", what, reason.c_str());
    return EXIT_STATUS_FAILURE;
}

} // namespace

int runLedboard(std::span<char* const> args, std::FILE* out, std::FILE* err)
{
    if (args.size() <= 1) {
        std::fputs("you need LED data\n", out);
        return EXIT_STATUS_OK;
    }
    const int number = parseLedNumber(args[1]);

    usb_dev_handle* opened = nullptr;
    const int lookup = usbOpenDevice(&opened, DEVICE_VENDOR_ID, DEVICE_PRODUCT_ID);
    if (lookup != 0) {
        // Scripts look for this exact text and exit status.
        std::fprintf(out, "Plugin your USB device%d \n", lookup);
        return EXIT_STATUS_OK;
    }
    const DeviceHandle handle{opened};

    StatusReply reply;
    if (usbSetLeds(handle.get(), number, reply) < 0) {
        return reportFailure(err, "cannot send the LED value", usbLastError());
    }
    // The board answers every request with its status; only the last reply is decoded, so the
    // first read may fail without harm.
    usbReadStatus(handle.get(), reply);
    const int received = usbReadStatus(handle.get(), reply);
    if (received < 0) {
        return reportFailure(err, "cannot read the status", usbLastError());
    }
    if (received < STATUS_DECODED_LENGTH) {
        return reportFailure(err, "cannot read the status",
                             "the board sent " + std::to_string(received) + " of " +
                                 std::to_string(STATUS_DECODED_LENGTH) + " bytes needed");
    }

    const BoardStatus status = decodeStatus(reply);
    std::fprintf(out, "LED  d %2x\n", status.led);
    std::fprintf(out, "PUSH d %2x\n", status.push);
    std::fprintf(out, "JUMP b %2x\n", status.jump);
    return EXIT_STATUS_OK;
}

#include "actions.hpp"

#include "board.hpp"
#include "hints.hpp"
#include "run.hpp"

#include <array>

namespace {

void printReport(std::FILE* out, const StatusReply& reply)
{
    const BoardStatus status = decodeStatus(reply);
    std::fprintf(out, "LED  d %2x\n", status.led);
    std::fprintf(out, "PUSH d %2x\n", status.push);
    std::fprintf(out, "JUMP b %2x\n", status.jump);
}

// A failed request: one line with libusb's reason, and the fix when it was a permission error.
int reportFailure(std::FILE* err, const char* what, int result, const char* reason)
{
    std::fprintf(err, "ledboard: %s: %s\n", what, reason);
    if (isPermissionError(result)) {
        explainPermission(err);
    }
    return EXIT_STATUS_FAILURE;
}

} // namespace

bool statusArrived(int received, std::FILE* err)
{
    if (received < 0) {
        reportFailure(err, "cannot read the status", received, usbLastError());
        return false;
    }
    if (received < STATUS_DECODED_LENGTH) {
        std::array<char, 64> reason{};
        std::snprintf(reason.data(), reason.size(), "the board sent %d of %d bytes needed",
                      received, STATUS_DECODED_LENGTH);
        reportFailure(err, "cannot read the status", received, reason.data());
        return false;
    }
    return true;
}

int setLeds(usb_dev_handle* board, int number, std::FILE* out, std::FILE* err)
{
    StatusReply reply;
    BoardLock lock(board);
    {
        // Another ledboard's LED request between ours and our status reads would be what we
        // report, so the exchange is made under the lock.
        const BoardLock::Held held(lock);
        const int sent = usbSetLeds(board, number, reply);
        if (sent < 0) {
            return reportFailure(err, "cannot send the LED value", sent, usbLastError());
        }
        // The board answers every request with its status; only the last reply is decoded, so
        // the first read may fail without harm.
        usbReadStatus(board, reply);
        if (!statusArrived(usbReadStatus(board, reply), err)) {
            return EXIT_STATUS_FAILURE;
        }
    }
    printReport(out, reply);
    return EXIT_STATUS_OK;
}

int printStatus(usb_dev_handle* board, std::FILE* out, std::FILE* err)
{
    StatusReply reply;
    BoardLock lock(board);
    {
        const BoardLock::Held held(lock);
        if (!statusArrived(usbReadStatus(board, reply), err)) {
            return EXIT_STATUS_FAILURE;
        }
    }
    printReport(out, reply);
    return EXIT_STATUS_OK;
}

int listBoards(std::FILE* out, std::FILE* err)
{
    if (!rescanOrSay(err)) {
        return EXIT_STATUS_FAILURE;
    }
    unsigned listed = 0;
    for (usb_device* device = usbNextInOrder(nullptr, DEVICE_VENDOR_ID, DEVICE_PRODUCT_ID);
         device != nullptr;
         device = usbNextInOrder(device, DEVICE_VENDOR_ID, DEVICE_PRODUCT_ID), ++listed) {
        const DeviceLocation at = usbLocationOf(device);
        BoardStrings strings;
        const OpenedBoard board = usbOpenBoard(device, &strings);
        if (board.handle) {
            std::fprintf(out, "%s/%s\tusable\t%s\t%s\t%s\n", at.bus, at.device,
                         strings.manufacturer.data(), strings.product.data(),
                         strings.serial.data());
        } else {
            std::fprintf(out, "%s/%s\tunusable\t%s\n", at.bus, at.device,
                         refusalWords(board.why.refusal));
        }
    }
    if (listed == 0) {
        if (!explainUnlisted(err, nullptr)) {
            sayNoBoard(err);
        }
        return EXIT_STATUS_FAILURE;
    }
    return EXIT_STATUS_OK;
}

#include "actions.hpp"

#include "board.hpp"
#include "exit_status.hpp"
#include "hints.hpp"
#include "json.hpp"
#include "report.hpp"

#include <array>

namespace {

// A failed request: one line with libusb's reason, and the fix when it was a permission error.
int reportFailure(std::FILE* err, const char* what, int result, const char* reason)
{
    std::fprintf(err, "ledboard: %s: %s\n", what, reason);
    if (isPermissionError(result)) {
        explainPermission(err);
    }
    return EXIT_STATUS_FAILURE;
}

void noteBusyLock(std::FILE* err, LockResult locked)
{
    if (locked == LockResult::Busy) {
        std::fprintf(err,
                     "ledboard: another process has held the board for %d s; going on without "
                     "waiting for it\n",
                     EXCHANGE_TIMEOUT_MS / 1000);
    }
}

// A board's port path, or an empty text.
PortPath pathOf(BusAddress address)
{
    return address.bus == 0 ? PortPath{} : sysfsPathOf(address);
}

bool printEntry(std::FILE* out, const ListEntry& entry, bool json)
{
    JsonLine line;
    formatListEntry(line, entry, json);
    if (line.overflowed()) {
        return false;
    }
    std::fputs(line.text(), out);
    return true;
}

// Boards that sysfs shows and libusb does not list, in bus and device number order.
struct Unlisted {
    std::array<SysfsDevice, MAX_DEVICE_NUMBER> devices{};
    std::array<bool, MAX_DEVICE_NUMBER> listed{};
    std::size_t count = 0;
};

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

int setLeds(usb_dev_handle* board, int number, bool json, std::FILE* out, std::FILE* err)
{
    StatusReply reply;
    BoardLock lock(board);
    // Another ledboard's LED request between ours and our status reads would be what we report,
    // so the exchange is made under the lock.
    const ExchangeResult exchange = usbExchange(board, &lock, &number, reply);
    noteBusyLock(err, exchange.lock);
    if (exchange.commandFailed()) {
        return reportFailure(err, "cannot send the LED value", exchange.sent, usbLastError());
    }
    if (!statusArrived(exchange.received, err)) {
        return EXIT_STATUS_FAILURE;
    }
    printReport(out, decodeStatus(reply), json);
    return EXIT_STATUS_OK;
}

int printStatus(usb_dev_handle* board, bool json, std::FILE* out, std::FILE* err)
{
    StatusReply reply;
    BoardLock lock(board);
    const ExchangeResult exchange = usbExchange(board, &lock, nullptr, reply);
    noteBusyLock(err, exchange.lock);
    if (!statusArrived(exchange.received, err)) {
        return EXIT_STATUS_FAILURE;
    }
    printReport(out, decodeStatus(reply), json);
    return EXIT_STATUS_OK;
}

int listBoards(bool json, std::FILE* out, std::FILE* err)
{
    if (!rescanOrSay(err)) {
        return EXIT_STATUS_NO_BOARD; // no USB to list, so no board
    }
    unsigned listed = 0;
    unsigned shown = 0;
    Unlisted sysfs;
    sysfs.count = listSysfsDevices(DEVICE_VENDOR_ID, DEVICE_PRODUCT_ID, sysfs.devices);
    const auto printUnlistedBefore = [&](const BusAddress* limit) {
        for (std::size_t i = 0; i < sysfs.count; ++i) {
            const SysfsDevice& device = sysfs.devices[i];
            const bool earlier =
                limit == nullptr || device.address.bus < limit->bus ||
                (device.address.bus == limit->bus && device.address.device < limit->device);
            if (!sysfs.listed[i] && earlier) {
                sysfs.listed[i] = true;
                printEntry(out, {device.address, device.path.text.data(), unlistedWords(), nullptr},
                           json);
                ++shown;
            }
        }
    };
    BoardList boards;
    usbListInOrder(DEVICE_VENDOR_ID, DEVICE_PRODUCT_ID, boards);
    for (usb_device* device : boards) {
        ++listed;
        const BusAddress address = usbAddressOf(device);
        for (std::size_t i = 0; i < sysfs.count; ++i) {
            sysfs.listed[i] = sysfs.listed[i] || sysfs.devices[i].address == address;
        }
        printUnlistedBefore(&address);
        const PortPath path = pathOf(address);
        BoardStrings strings;
        const OpenedBoard board = usbOpenBoard(device, &strings);
        const ListEntry entry{address, path.text.data(),
                              board.handle ? nullptr : refusalWords(board.why.refusal), &strings};
        if (!printEntry(out, entry, json)) {
            std::fprintf(err, "ledboard: the board at %03u/%03u has strings too long to list\n",
                         address.bus, address.device);
        }
        ++shown;
    }
    printUnlistedBefore(nullptr);
    // When libusb lists nothing, say why on stderr, once, beside whatever sysfs showed.
    if (listed == 0 && !explainUnlisted(err, nullptr)) {
        sayNoBoard(err);
    }
    return shown > 0 ? EXIT_STATUS_OK : EXIT_STATUS_NO_BOARD;
}

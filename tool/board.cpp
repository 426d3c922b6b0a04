#include "board.hpp"

#include "hints.hpp"
#include "text.hpp"
#include "wait.hpp"

#include <cstring>

namespace {

// "001/004" as libusb names it, for messages about a place given as numbers.
void printAddress(std::FILE* err, BusAddress at)
{
    std::fprintf(err, "%03u/%03u", at.bus, at.device);
}

// Text the user typed, printed as safely as a board's strings.
void printUserText(std::FILE* err, const char* text)
{
    FixedTextBuffer<USER_TEXT_LENGTH> safe;
    appendPrintable(safe, text);
    std::fputs(safe.text(), err);
}

DeviceHandle firstBoard(std::FILE* err)
{
    usb_dev_handle* opened = nullptr;
    RefusedBoard refused{};
    if (usbOpenDevice(&opened, DEVICE_VENDOR_ID, DEVICE_PRODUCT_ID, &refused) == 0) {
        notePassedOver(err, refused, opened);
        return DeviceHandle{opened};
    }
    if (!explainLookupFailure(err, refused)) {
        sayNoBoard(err);
    }
    return nullptr;
}

// The board on the listed device at `at`, or why there is none there. `what` says how the user
// named the place, for the messages.
DeviceHandle openListedBoard(usb_device* device, std::FILE* err,
                             void (*what)(std::FILE*, const void*), const void* context)
{
    if (usbVendorOf(device) != DEVICE_VENDOR_ID || usbProductOf(device) != DEVICE_PRODUCT_ID) {
        std::fputs("ledboard: no board at ", err);
        what(err, context);
        std::fprintf(err, ": the device there is %04x:%04x\n", usbVendorOf(device),
                     usbProductOf(device));
        return nullptr;
    }
    OpenedBoard board = usbOpenBoard(device, nullptr);
    if (!board.handle) {
        explainRefusal(err, usbLocationOf(device), board.why);
    }
    return std::move(board.handle);
}

DeviceHandle boardAt(const BusAddress& at, std::FILE* err)
{
    if (!rescanOrSay(err)) {
        return nullptr;
    }
    usb_device* device = usbDeviceAt(at.bus, at.device);
    if (device == nullptr) {
        if (!explainUnlisted(err, &at)) {
            std::fputs("ledboard: no board at ", err);
            printAddress(err, at);
            std::fputs(": there is no device there\n", err);
        }
        return nullptr;
    }
    return openListedBoard(
        device, err,
        [](std::FILE* stream, const void* place) {
            printAddress(stream, *static_cast<const BusAddress*>(place));
        },
        &at);
}

DeviceHandle boardAtPort(const char* path, std::FILE* err)
{
    const auto printPort = [](std::FILE* stream, const void* port) {
        std::fputs("port ", stream);
        printUserText(stream, static_cast<const char*>(port));
    };
    if (!rescanOrSay(err)) {
        return nullptr;
    }
    const auto attached = sysfsDeviceAt(path);
    usb_device* device =
        attached ? usbDeviceAt(attached->address.bus, attached->address.device) : nullptr;
    if (device == nullptr) {
        if (!attached || !explainUnlisted(err, &attached->address)) {
            std::fputs("ledboard: no board at ", err);
            printPort(err, path);
            std::fputs(": there is no device there\n", err);
        }
        return nullptr;
    }
    return openListedBoard(device, err, printPort, path);
}

DeviceHandle boardWithSerial(const char* serial, std::FILE* err, bool* hopeless)
{
    if (!rescanOrSay(err)) {
        return nullptr;
    }
    DeviceHandle chosen;
    FixedTextBuffer<MESSAGE_LENGTH> found;    // what the other boards are
    FixedTextBuffer<MESSAGE_LENGTH> matching; // where the boards with this serial are
    unsigned matches = 0;
    BoardList boards;
    usbListInOrder(DEVICE_VENDOR_ID, DEVICE_PRODUCT_ID, boards);
    for (usb_device* device : boards) {
        const DeviceLocation at = usbLocationOf(device);
        BoardStrings strings;
        OpenedBoard board = usbOpenBoard(device, &strings);
        if (board.handle && std::strcmp(strings.serial.data(), serial) == 0) {
            matching.appendf("%s%s/%s", matches++ == 0 ? "" : ", ", at.bus, at.device);
            if (!chosen) {
                chosen = std::move(board.handle);
            }
            continue;
        }
        found.appendf(", %s/%s ", at.bus, at.device);
        if (!board.handle) {
            found.appendf("(%s)", refusalWords(board.why.refusal));
        } else if (strings.serialUnreadable) {
            found.append("(serial unreadable)");
        } else if (strings.serial[0] == '\0') {
            found.append("(no serial)");
        } else {
            found.append("(serial ");
            appendPrintable(found, strings.serial.data());
            found.append(")");
        }
    }
    if (matches > 1) {
        if (hopeless != nullptr) {
            *hopeless = true;
        }
        std::fprintf(err, "ledboard: %u boards have serial '", matches);
        printUserText(err, serial);
        std::fprintf(err, "' (%s): choose one with --device or --path\n", matching.text());
        return nullptr;
    }
    if (!chosen) {
        FixedTextBuffer<USER_TEXT_LENGTH> safeSerial;
        appendPrintable(safeSerial, serial);
        if (found.text()[0] != '\0') {
            std::fprintf(err, "ledboard: no board with serial '%s': found %s\n", safeSerial.text(),
                         found.text() + 2);
        } else if (!explainUnlisted(err, nullptr)) {
            std::fprintf(err, "ledboard: no board with serial '%s': found no board at all\n",
                         safeSerial.text());
        }
    }
    return chosen;
}

} // namespace

void sayNoBoard(std::FILE* err)
{
    std::fprintf(err, "ledboard: no board (USB ID %04x:%04x) found\n", DEVICE_VENDOR_ID,
                 DEVICE_PRODUCT_ID);
}

bool rescanOrSay(std::FILE* err)
{
    if (usbRescan() < 0) {
        std::fprintf(err, "ledboard: cannot list the USB devices: %s\n", usbLastError());
        return false;
    }
    return true;
}

bool explainLookupFailure(std::FILE* err, const RefusedBoard& refused)
{
    if (refused.location.bus != nullptr) {
        explainRefusal(err, refused.location, refused.why);
        return true;
    }
    return explainUnlisted(err, nullptr);
}

void notePassedOver(std::FILE* err, const RefusedBoard& refused, usb_dev_handle* used)
{
    if (refused.location.bus == nullptr) {
        return;
    }
    const DeviceLocation at = usbLocationOf(usbDeviceOf(used));
    std::fprintf(err, "ledboard: passed over the board at %s/%s (%s); using the one at %s/%s\n",
                 refused.location.bus, refused.location.device, refusalWords(refused.why.refusal),
                 at.bus, at.device);
}

DeviceHandle chooseBoard(const Options& options, std::FILE* err, bool* hopeless)
{
    switch (options.choice) {
    case Choice::Location:
        return boardAt(options.location, err);
    case Choice::Serial:
        return boardWithSerial(options.choiceText, err, hopeless);
    case Choice::Path:
        return boardAtPort(options.choiceText, err);
    case Choice::FirstBoard:
        break;
    }
    return firstBoard(err);
}

DeviceHandle openBoardLike(const BoardIdentity& identity, std::FILE* err)
{
    if (!rescanOrSay(err)) {
        return nullptr;
    }
    const bool bySerial = identity.serial[0] != '\0';
    BoardList boards;
    usbListInOrder(DEVICE_VENDOR_ID, DEVICE_PRODUCT_ID, boards);
    for (usb_device* device : boards) {
        const PortPath path = bySerial ? PortPath{} : sysfsPathOf(usbAddressOf(device));
        // Without a serial number only the board at that port is opened.
        if (!bySerial && !isSameBoard(identity, "", path)) {
            continue;
        }
        BoardStrings strings;
        OpenedBoard board = usbOpenBoard(device, bySerial ? &strings : nullptr);
        if (!board.handle) {
            explainRefusal(err, usbLocationOf(device), board.why);
            continue;
        }
        if (isSameBoard(identity, strings.serial.data(), path)) {
            return std::move(board.handle);
        }
    }
    return nullptr;
}

void describeChoice(std::FILE* err, const Options& options)
{
    switch (options.choice) {
    case Choice::Location:
        std::fputs("the board at ", err);
        printAddress(err, options.location);
        return;
    case Choice::Serial:
        std::fputs("the board with serial '", err);
        printUserText(err, options.choiceText);
        std::fputs("'", err);
        return;
    case Choice::Path:
        std::fputs("the board at port ", err);
        printUserText(err, options.choiceText);
        return;
    case Choice::FirstBoard:
        break;
    }
    std::fprintf(err, "a board (USB ID %04x:%04x)", DEVICE_VENDOR_ID, DEVICE_PRODUCT_ID);
}

#include "board.hpp"

#include "hints.hpp"

#include <algorithm>
#include <cstring>

namespace {

// A line built up piece by piece in a fixed buffer; what does not fit is cut.
class Line {
public:
    template <typename... Values>
    void add(const char* format, Values... values)
    {
        if (used_ >= text_.size() - 1) {
            return;
        }
        const int written =
            std::snprintf(text_.data() + used_, text_.size() - used_, format, values...);
        if (written > 0) {
            used_ = std::min(text_.size() - 1, used_ + static_cast<std::size_t>(written));
        }
    }
    const char* text() const { return text_.data(); }

private:
    std::array<char, 1024> text_{};
    std::size_t used_ = 0;
};

DeviceHandle firstBoard(std::FILE* err)
{
    usb_dev_handle* opened = nullptr;
    RefusedBoard refused{};
    if (usbOpenDevice(&opened, DEVICE_VENDOR_ID, DEVICE_PRODUCT_ID, &refused) == 0) {
        return DeviceHandle{opened};
    }
    if (!explainLookupFailure(err, refused)) {
        sayNoBoard(err);
    }
    return nullptr;
}

DeviceHandle boardAt(const BusAddress& at, std::FILE* err)
{
    if (!rescanOrSay(err)) {
        return nullptr;
    }
    usb_device* device = usbDeviceAt(at.bus, at.device);
    if (device == nullptr) {
        if (!explainUnlisted(err, &at)) {
            std::fprintf(err, "ledboard: no board at %03u/%03u: there is no device there\n", at.bus,
                         at.device);
        }
        return nullptr;
    }
    if (usbVendorOf(device) != DEVICE_VENDOR_ID || usbProductOf(device) != DEVICE_PRODUCT_ID) {
        std::fprintf(err, "ledboard: no board at %03u/%03u: the device there is %04x:%04x\n",
                     at.bus, at.device, usbVendorOf(device), usbProductOf(device));
        return nullptr;
    }
    OpenedBoard board = usbOpenBoard(device, nullptr);
    if (!board.handle) {
        explainRefusal(err, usbLocationOf(device), board.why);
    }
    return std::move(board.handle);
}

DeviceHandle boardWithSerial(const char* serial, std::FILE* err)
{
    if (!rescanOrSay(err)) {
        return nullptr;
    }
    DeviceHandle chosen;
    Line found;    // what the other boards are
    Line matching; // where the boards with this serial are
    unsigned matches = 0;
    for (usb_device* device = usbNextInOrder(nullptr, DEVICE_VENDOR_ID, DEVICE_PRODUCT_ID);
         device != nullptr; device = usbNextInOrder(device, DEVICE_VENDOR_ID, DEVICE_PRODUCT_ID)) {
        const DeviceLocation at = usbLocationOf(device);
        BoardStrings strings;
        OpenedBoard board = usbOpenBoard(device, &strings);
        if (board.handle && std::strcmp(strings.serial.data(), serial) == 0) {
            matching.add("%s%s/%s", matches++ == 0 ? "" : ", ", at.bus, at.device);
            if (!chosen) {
                chosen = std::move(board.handle);
            }
            continue;
        }
        found.add(", %s/%s ", at.bus, at.device);
        if (!board.handle) {
            found.add("(%s)", refusalWords(board.why.refusal));
        } else if (strings.serialUnreadable) {
            found.add("%s", "(serial unreadable)");
        } else if (strings.serial[0] == '\0') {
            found.add("%s", "(no serial)");
        } else {
            found.add("(serial %s)", strings.serial.data());
        }
    }
    if (matches > 1) {
        std::fprintf(err, "ledboard: %u boards have serial '%s' (%s): choose one with --device\n",
                     matches, serial, matching.text());
        return nullptr;
    }
    if (!chosen) {
        if (found.text()[0] != '\0') {
            std::fprintf(err, "ledboard: no board with serial '%s': found %s\n", serial,
                         found.text() + 2);
        } else if (!explainUnlisted(err, nullptr)) {
            std::fprintf(err, "ledboard: no board with serial '%s': found no board at all\n",
                         serial);
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

DeviceHandle chooseBoard(const Options& options, std::FILE* err)
{
    switch (options.choice) {
    case Choice::Location:
        return boardAt(options.location, err);
    case Choice::Serial:
        return boardWithSerial(options.choiceText, err);
    case Choice::FirstBoard:
        break;
    }
    return firstBoard(err);
}

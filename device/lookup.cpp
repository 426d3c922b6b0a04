// Finding the board: the one place that walks libusb's bus list.
#include "ledboard_device.hpp"

#include <usb.h>

#include <cerrno>
#include <climits>
#include <cstring>

namespace {

bool hasIdentity(const struct usb_device& device, int vendor, int product)
{
    // The descriptor fields are unsigned 16-bit; they promote to int without sign extension,
    // so 0x8888 compares equal to 34952.
    return device.descriptor.idVendor == vendor && device.descriptor.idProduct == product;
}

// A bus or device name as a number: libusb names them "%03d" on Linux. Anything else sorts last.
unsigned nameNumber(const char* name)
{
    constexpr unsigned DECIMAL_BASE = 10;
    constexpr unsigned LIMIT = 100000;
    unsigned value = 0;
    for (const char* c = name; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9' || value >= LIMIT) {
            return UINT_MAX;
        }
        value = value * DECIMAL_BASE + static_cast<unsigned>(*c - '0');
    }
    return *name == '\0' ? UINT_MAX : value;
}

// A device's place in bus and device number order; the list position breaks ties between names
// that are not numbers.
struct OrderKey {
    unsigned bus;
    unsigned device;
    unsigned position;
};

bool operator<(const OrderKey& a, const OrderKey& b)
{
    if (a.bus != b.bus) {
        return a.bus < b.bus;
    }
    return a.device != b.device ? a.device < b.device : a.position < b.position;
}

// Calls visit(device, key) for every device of the last rescan, in the library's order.
template <typename Visit>
void forEachDevice(Visit&& visit)
{
    unsigned position = 0;
    for (struct usb_bus* bus = usb_get_busses(); bus != nullptr; bus = bus->next) {
        const unsigned busNumber = nameNumber(bus->dirname);
        for (struct usb_device* device = bus->devices; device != nullptr; device = device->next) {
            visit(device, OrderKey{busNumber, nameNumber(device->filename), position++});
        }
    }
}

// Reads a string into `text`; a board without that string (index 0, which would read back the
// language table as text) leaves it empty. Returns usb_get_string_simple's result all the same, so
// that acceptance is judged on the same reads as the lookup's.
int readString(usb_dev_handle* handle, int index, std::array<char, STRING_BUFFER_LENGTH>& text)
{
    const int length = usb_get_string_simple(handle, index, text.data(), text.size());
    text.back() = '\0';
    if (index == 0 || length <= 0) {
        text.fill('\0');
    }
    return length;
}

} // namespace

void HandleCloser::operator()(usb_dev_handle* handle) const noexcept
{
    usb_close(handle);
}

int usbRescan()
{
    usb_init();
    // Each rescan returns the number of changes since the last one, or a negative errno. On a
    // process's first rescan that is the number of busses and the number of devices, which differ
    // on any real machine (every bus has a root hub), so only a library error counts.
    const int busChanges = usb_find_busses();
    const int deviceChanges = usb_find_devices();
    if (busChanges < 0) {
        return busChanges;
    }
    return deviceChanges < 0 ? deviceChanges : 0;
}

int usbOpenDevice(usb_dev_handle** handleOut, int vendor, int product, RefusedBoard* firstRefused)
{
    if (firstRefused != nullptr) {
        *firstRefused = RefusedBoard{{nullptr, nullptr}, {Refusal::None, 0}};
    }
    if (usbRescan() < 0) {
        return 1;
    }

    // Both string reads of every device share this buffer; only their lengths are used.
    std::array<char, STRING_BUFFER_LENGTH> text{};
    for (struct usb_bus* bus = usb_get_busses(); bus != nullptr; bus = bus->next) {
        for (struct usb_device* device = bus->devices; device != nullptr; device = device->next) {
            DeviceHandle handle{usb_open(device)};
            // errno only after a failure: libusb-compat sets it then, and 0.1.12 never fails here.
            // (Touching errno on every open costs the plain run a binding of its own.)
            Acceptance verdict{Refusal::None, 0};
            if (!handle) {
                verdict = judgeOpenFailure(errno);
            } else {
                // Both strings are asked for whatever the identity: a board that cannot answer
                // them is refused, and every device is treated alike.
                const int productLength = usb_get_string_simple(
                    handle.get(), device->descriptor.iProduct, text.data(), text.size());
                const int manufacturerLength = usb_get_string_simple(
                    handle.get(), device->descriptor.iManufacturer, text.data(), text.size());
                verdict = judgeStrings(productLength, manufacturerLength);
            }
            if (!hasIdentity(*device, vendor, product)) {
                continue;
            }
            if (verdict.refusal == Refusal::None) {
                *handleOut = handle.release();
                return 0;
            }
            if (firstRefused != nullptr && firstRefused->location.bus == nullptr) {
                *firstRefused = {{bus->dirname, device->filename}, verdict};
            }
        }
    }
    return 1;
}

void usbListInOrder(int vendor, int product, BoardList& list)
{
    // Kept beside the devices while sorting; an insertion sort, since a listing is short and
    // this code links no C++ runtime.
    std::array<OrderKey, MAX_LISTED_BOARDS> keys{};
    list.count = 0;
    forEachDevice([&](struct usb_device* device, OrderKey key) {
        if (!hasIdentity(*device, vendor, product) || list.count == list.devices.size()) {
            return;
        }
        std::size_t at = list.count++;
        for (; at > 0 && key < keys[at - 1]; --at) {
            keys[at] = keys[at - 1];
            list.devices[at] = list.devices[at - 1];
        }
        keys[at] = key;
        list.devices[at] = device;
    });
}

struct usb_device* usbDeviceAt(unsigned bus, unsigned address)
{
    struct usb_device* found = nullptr;
    forEachDevice([&](struct usb_device* device, OrderKey key) {
        if (found == nullptr && key.bus == bus && key.device == address) {
            found = device;
        }
    });
    return found;
}

DeviceLocation usbLocationOf(const struct usb_device* device)
{
    return {device->bus->dirname, device->filename};
}

BusAddress usbAddressOf(const struct usb_device* device)
{
    const unsigned bus = nameNumber(device->bus->dirname);
    const unsigned address = nameNumber(device->filename);
    if (bus == UINT_MAX || address == UINT_MAX) {
        return {0, 0};
    }
    return {bus, address};
}

struct usb_device* usbDeviceOf(usb_dev_handle* handle)
{
    return usb_device(handle);
}

std::uint16_t usbVendorOf(const struct usb_device* device)
{
    return device->descriptor.idVendor;
}

std::uint16_t usbProductOf(const struct usb_device* device)
{
    return device->descriptor.idProduct;
}

OpenedBoard usbOpenBoard(struct usb_device* device, BoardStrings* strings)
{
    DeviceHandle handle{usb_open(device)};
    if (!handle) {
        return {nullptr, judgeOpenFailure(errno)};
    }
    BoardStrings scratch{};
    BoardStrings& kept = strings != nullptr ? *strings : scratch;
    // The same reads in the same order as the lookup, so that a board is judged alike either way.
    const int productLength = readString(handle.get(), device->descriptor.iProduct, kept.product);
    const int manufacturerLength =
        readString(handle.get(), device->descriptor.iManufacturer, kept.manufacturer);
    const Acceptance verdict = judgeStrings(productLength, manufacturerLength);
    if (verdict.refusal != Refusal::None) {
        return {nullptr, verdict};
    }
    // Index 0 would read the language table, not a serial number.
    if (strings != nullptr && device->descriptor.iSerialNumber != 0 &&
        readString(handle.get(), device->descriptor.iSerialNumber, kept.serial) <= 0) {
        kept.serialUnreadable = true;
    }
    return {std::move(handle), verdict};
}

void usbReadSerial(usb_dev_handle* handle, std::array<char, STRING_BUFFER_LENGTH>& serial)
{
    const int index = usb_device(handle)->descriptor.iSerialNumber;
    serial.fill('\0');
    if (index != 0) {
        readString(handle, index, serial);
    }
}

BoardIdentity usbIdentityOf(usb_dev_handle* handle)
{
    BoardIdentity identity;
    usbReadSerial(handle, identity.serial);
    identity.path = sysfsPathOf(usbAddressOf(usbDeviceOf(handle)));
    return identity;
}

bool isSameBoard(const BoardIdentity& known, const char* serial, const PortPath& path) noexcept
{
    if (known.serial[0] != '\0') {
        return std::strcmp(known.serial.data(), serial) == 0;
    }
    return !known.path.empty() && std::strcmp(known.path.text.data(), path.text.data()) == 0;
}

// Finding the board: the one place that walks libusb's bus list.
#include "ledboard_device.hpp"

#include <usb.h>

namespace {

// Both string reads of every device share this buffer; only their lengths are used.
constexpr std::size_t STRING_BUFFER_LENGTH = 256;

bool hasIdentity(const struct usb_device& device, int vendor, int product)
{
    // The descriptor fields are unsigned 16-bit; they promote to int without sign extension,
    // so 0x8888 compares equal to 34952.
    return device.descriptor.idVendor == vendor && device.descriptor.idProduct == product;
}

} // namespace

void HandleCloser::operator()(usb_dev_handle* handle) const noexcept
{
    usb_close(handle);
}

int usbOpenDevice(usb_dev_handle** handleOut, int vendor, int product)
{
    usb_init();
    // Each rescan returns the number of changes since the last one, or a negative errno. On a
    // process's first rescan that is the number of busses and the number of devices, which differ
    // on any real machine (every bus has a root hub), so only a library error stops the walk.
    const int busChanges = usb_find_busses();
    const int deviceChanges = usb_find_devices();
    if (busChanges < 0 || deviceChanges < 0) {
        return 1;
    }

    std::array<char, STRING_BUFFER_LENGTH> text{};
    for (struct usb_bus* bus = usb_get_busses(); bus != nullptr; bus = bus->next) {
        for (struct usb_device* device = bus->devices; device != nullptr; device = device->next) {
            DeviceHandle handle{usb_open(device)};
            if (!handle) {
                continue;
            }
            // Both strings are asked for whatever the identity: a board that cannot answer them
            // is refused, and every device is treated alike.
            const int productLength = usb_get_string_simple(
                handle.get(), device->descriptor.iProduct, text.data(), text.size());
            const int manufacturerLength = usb_get_string_simple(
                handle.get(), device->descriptor.iManufacturer, text.data(), text.size());
            if (productLength > 0 && manufacturerLength > 0 &&
                hasIdentity(*device, vendor, product)) {
                *handleOut = handle.release();
                return 0;
            }
        }
    }
    return 1;
}

std::optional<DeviceLocation> usbFindListedDevice(int vendor, int product)
{
    for (struct usb_bus* bus = usb_get_busses(); bus != nullptr; bus = bus->next) {
        for (struct usb_device* device = bus->devices; device != nullptr; device = device->next) {
            if (hasIdentity(*device, vendor, product)) {
                return DeviceLocation{bus->dirname, device->filename};
            }
        }
    }
    return std::nullopt;
}

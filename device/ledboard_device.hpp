// Access to the LED board over libusb 0.1: finding and opening it, its two vendor requests, and
// the decoding of its status reply. Nothing here prints; callers report.
//
// This code and the tool use only the header-only parts of the C++ library and no exceptions, so
// the program does not load libstdc++ at all: relocating it at start-up cost several times
// the instructions of everything else the tool does (see bench/README.md).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>

// libusb 0.1's handle type; only the device sources see its definition (usb.h).
struct usb_dev_handle;

// The board's identity on the bus.
inline constexpr int DEVICE_VENDOR_ID = 0x1384;
inline constexpr int DEVICE_PRODUCT_ID = 0x8888;

// The board's vendor requests. Both are IN requests with a 7-byte data stage.
inline constexpr int REQUEST_READ_STATUS = 0;
inline constexpr int REQUEST_SET_LEDS = 1;
inline constexpr int STATUS_REPLY_LENGTH = 7;
inline constexpr int CONTROL_TIMEOUT_MS = 5000;

// Decoding reads bytes 0 and 1 only, so a reply shorter than this carries no status.
inline constexpr int STATUS_DECODED_LENGTH = 2;

// The data stage of either request. Zero-filled until a request writes into it.
struct StatusReply {
    std::array<unsigned char, STATUS_REPLY_LENGTH> bytes{};
};

// What the board reports, as printed by the tool.
struct BoardStatus {
    unsigned led;  // 0..7
    unsigned push; // 1 while the button is pressed
    unsigned jump; // 0..15, one bit per fitted jumper
};

// Closes a handle that usb_open returned.
struct HandleCloser {
    void operator()(usb_dev_handle* handle) const noexcept;
};
using DeviceHandle = std::unique_ptr<usb_dev_handle, HandleCloser>;

// Where a device sits: its bus and device names ("001", "002"), pointing into libusb's bus list,
// which stays until the next rescan.
struct DeviceLocation {
    const char* bus;
    const char* device;
};

// Initialises libusb, rescans, and opens the first device in bus order that has the given identity
// and answers both its product and manufacturer string reads. Returns 0 and stores the open handle
// through handleOut (the caller owns it), or 1 with handleOut untouched and no handle left open.
int usbOpenDevice(usb_dev_handle** handleOut, int vendor, int product);

// Sends the LED value of `number` (see ledValue). Returns usb_control_msg's result: the bytes
// received into `reply`, or a negative errno value.
int usbSetLeds(usb_dev_handle* handle, int number, StatusReply& reply);

// Asks for the status. Returns usb_control_msg's result, as usbSetLeds does.
int usbReadStatus(usb_dev_handle* handle, StatusReply& reply);

// libusb's text for its most recent error. The library keeps one global error, so read this right
// after the call that failed.
const char* usbLastError();

// After a failed lookup: the first device in the library's bus list (already filled by the lookup,
// so no I/O is done) that has the given identity, if any.
std::optional<DeviceLocation> usbFindListedDevice(int vendor, int product);

// True when a request result means the device node may not be written: the usual cause is a
// missing udev rule.
bool isPermissionError(int result) noexcept;

// wValue of the LED request: the low five bits of `number`, two's complement for negatives, moved
// to bits 3..7. Bits 0..2 and the high byte are always clear.
std::uint16_t ledValue(int number) noexcept;

// LED, PUSH and JUMP from the first two status bytes.
BoardStatus decodeStatus(const StatusReply& reply) noexcept;

// A scripted stand-in for the libusb 0.1 calls the device code makes, linked in place of the real
// library. A test describes a bus tree and the board's replies, runs the code, then reads back
// every call that reached the "library".
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace fake {

struct Device {
    std::uint16_t vendor = 0;
    std::uint16_t product = 0;
    std::uint8_t iProduct = 2;
    std::uint8_t iManufacturer = 1;
    bool opens = true;
    int openErrno = 0;   // errno when it does not open (libusb-compat sets it; 0.1.12 never fails)
    int productRead = 5; // what reading the product string returns
    int manufacturerRead = 6; // what reading the manufacturer string returns
    std::string serial{};     // read from string index 3, when not empty
    std::string name{};       // the device's name on its bus; by default its place in the list
};

struct Bus {
    std::vector<Device> devices;
    std::string name{}; // by default its place in the list
};

// One scripted answer to usb_control_msg, taken in order.
struct Transfer {
    int result = 0;                  // bytes delivered, or a negative errno
    std::vector<unsigned char> data; // written into the caller's buffer
    std::string error;               // what usb_strerror says after a failure
};

struct ControlCall {
    std::string device; // "bus/device", e.g. "001/002"
    int requestType;
    int request;
    int value;
    int index;
    int length;
    int timeout;
    const void* buffer;
};

// Board identity, repeated here on purpose: a wrong constant in the device code must not be
// matched by the same wrong constant in its tests.
inline constexpr std::uint16_t BOARD_VENDOR = 0x1384;
inline constexpr std::uint16_t BOARD_PRODUCT = 0x8888;

inline Device board()
{
    return Device{.vendor = BOARD_VENDOR, .product = BOARD_PRODUCT};
}
inline Device other(std::uint16_t vendor = 0x1d6b, std::uint16_t product = 0x0002)
{
    return Device{.vendor = vendor, .product = product};
}

struct State {
    int findBussesResult = 1;
    int findDevicesResult = 2;
    std::deque<Transfer> transfers;
    std::array<unsigned char, 7> idleReply{0x28, 0x0F, 0, 0,
                                           0,    0,    0}; // when no transfer is scripted

    std::vector<std::string> calls; // every library call, in order
    std::vector<ControlCall> controls;
    int openHandles = 0;
};

// Starts a fresh scenario: this bus tree (names "001", "002", ... for busses and devices alike, in
// list order), default results, empty records.
State& reset(std::vector<Bus> busses);
State& state();

} // namespace fake

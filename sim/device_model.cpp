#include "device_model.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace sim {

namespace {

// USB 2.0 chapter 9 values.
constexpr std::uint8_t DIRECTION_IN = 0x80;
constexpr std::uint8_t TYPE_MASK = 0x60;
constexpr std::uint8_t TYPE_STANDARD = 0x00;
constexpr std::uint8_t TYPE_VENDOR = 0x40;
constexpr std::uint8_t GET_DESCRIPTOR = 6;
constexpr std::uint8_t DESCRIPTOR_DEVICE = 1;
constexpr std::uint8_t DESCRIPTOR_CONFIGURATION = 2;
constexpr std::uint8_t DESCRIPTOR_STRING = 3;
constexpr std::uint8_t DESCRIPTOR_INTERFACE = 4;
constexpr std::uint8_t DESCRIPTOR_ENDPOINT = 5;
constexpr std::uint8_t CLASS_HUB = 9;
constexpr std::uint8_t CLASS_VENDOR = 0xFF;
constexpr std::uint16_t LANGUAGE_US_ENGLISH = 0x0409;

// String indexes the simulated devices use.
constexpr int STRING_MANUFACTURER = 1;
constexpr int STRING_PRODUCT = 2;
constexpr int STRING_SERIAL = 3;

// The board's protocol: two vendor IN requests with a 7-byte status.
constexpr std::uint8_t BOARD_REQUEST_TYPE = 0xC0;
constexpr std::uint8_t BOARD_READ_STATUS = 0;
constexpr std::uint8_t BOARD_SET_LEDS = 1;
constexpr std::size_t BOARD_STATUS_LENGTH = 7;
constexpr std::uint8_t LED_BITS = 0x38; // bits 3..5 of byte 0
constexpr std::uint8_t PUSH_RELEASED = 0x40;
constexpr std::uint8_t JUMPER_BITS = 0x0F;
// The bits the status carries but the tool does not report are set, so that a decoder which
// forgets a mask shows it: bits 0..2 and 7 of byte 0, and the high nibble of byte 1.
constexpr std::uint8_t BYTE0_UNREPORTED = 0x87;
constexpr std::uint8_t BYTE1_UNREPORTED = 0xA0;

void putWord(std::vector<std::uint8_t>& bytes, unsigned word)
{
    bytes.push_back(static_cast<std::uint8_t>(word & 0xFF));
    bytes.push_back(static_cast<std::uint8_t>((word >> 8) & 0xFF));
}

ControlReply failWith(int error)
{
    return ControlReply{error, {}};
}

ControlReply noAnswer(Hold hold)
{
    ControlReply waiting = failWith(ETIMEDOUT);
    waiting.hold = hold;
    return waiting;
}

ControlReply reply(std::vector<std::uint8_t> data, std::uint16_t length)
{
    data.resize(std::min<std::size_t>(data.size(), length));
    return ControlReply{0, std::move(data)};
}

} // namespace

SimulatedDevice::SimulatedDevice(DevicePlan plan, int bus, int address, bool hub)
    : plan_(std::move(plan)), bus_(bus), address_(address), hub_(hub)
{
}

void SimulatedDevice::setInputs(bool pushed, unsigned jumpers)
{
    pushed_ = pushed;
    jumpers_ = jumpers;
}

void SimulatedDevice::setFaults(std::vector<RequestFault> faults)
{
    faults_ = std::move(faults);
}

void SimulatedDevice::setChanges(std::vector<InputChange> changes)
{
    changes_ = std::move(changes);
}

std::string SimulatedDevice::name() const
{
    return nodeName(bus_, address_);
}

void SimulatedDevice::applyInputs(const BoardChange& change)
{
    pushed_ = change.pushed.value_or(pushed_);
    jumpers_ = change.jumpers.value_or(jumpers_);
    hung_ = change.hung.value_or(hung_);
}

void SimulatedDevice::joinBus(int address)
{
    address_ = address;
    present_ = true;
    unplugged_ = false;
    hung_ = false; // powered up afresh
    leds_ = 0;
    lastValue_ = 0;
}

std::string SimulatedDevice::devpath() const
{
    if (port_.empty()) {
        return "0";
    }
    std::string text;
    for (const int number : port_) {
        text += (text.empty() ? "" : ".") + std::to_string(number);
    }
    return text;
}

std::string SimulatedDevice::sysfsName() const
{
    return hub_ ? "usb" + std::to_string(bus_) : std::to_string(bus_) + "-" + devpath();
}

std::string SimulatedDevice::nodePath() const
{
    return "/dev/bus/usb/" + name();
}

std::vector<std::uint8_t> SimulatedDevice::descriptors() const
{
    const std::uint8_t deviceClass = hub_ ? CLASS_HUB : (plan_.board ? CLASS_VENDOR : 0);
    const std::uint8_t interfaceClass = hub_ ? CLASS_HUB : CLASS_VENDOR;
    constexpr unsigned totalLength = 9 + 9 + 7;
    std::vector<std::uint8_t> bytes;
    bytes.reserve(18 + totalLength);
    // Device descriptor (USB 2.0, table 9-8).
    bytes.insert(bytes.end(), {18, DESCRIPTOR_DEVICE});
    putWord(bytes, plan_.board ? 0x0110 : 0x0200); // bcdUSB: the board is a low-speed 1.1 device
    bytes.insert(bytes.end(), {deviceClass, 0, static_cast<std::uint8_t>(hub_ ? 1 : 0),
                               static_cast<std::uint8_t>(plan_.board ? 8 : 64)});
    putWord(bytes, plan_.vendor);
    putWord(bytes, plan_.product);
    putWord(bytes, 0x0100); // bcdDevice
    bytes.push_back(plan_.manufacturerName ? STRING_MANUFACTURER : 0);
    bytes.push_back(plan_.productName ? STRING_PRODUCT : 0);
    bytes.push_back(plan_.serialNumber ? STRING_SERIAL : 0);
    bytes.push_back(1); // one configuration
    // Configuration, one interface, one interrupt IN endpoint (tables 9-10, 9-12, 9-13). libusb
    // 0.1.12 reads past a configuration whose last interface has no endpoint, so there is one.
    bytes.insert(bytes.end(), {9, DESCRIPTOR_CONFIGURATION});
    putWord(bytes, totalLength);
    bytes.insert(bytes.end(), {1, 1, 0, 0x80, 50}); // bus-powered, 100 mA
    bytes.insert(bytes.end(), {9, DESCRIPTOR_INTERFACE, 0, 0, 1, interfaceClass, 0, 0, 0});
    bytes.insert(bytes.end(), {7, DESCRIPTOR_ENDPOINT, 0x81, 0x03});
    putWord(bytes, hub_ ? 4 : 8);
    bytes.push_back(hub_ ? 12 : 10);
    return bytes;
}

std::string SimulatedDevice::stringAt(int index) const
{
    if (index == STRING_MANUFACTURER && plan_.manufacturerName) {
        return *plan_.manufacturerName;
    }
    if (index == STRING_PRODUCT && plan_.productName) {
        return *plan_.productName;
    }
    if (index == STRING_SERIAL && plan_.serialNumber) {
        return *plan_.serialNumber;
    }
    return {};
}

ControlReply SimulatedDevice::control(const ControlSetup& setup)
{
    if (unplugged_ || !present_) {
        return failWith(ENODEV);
    }
    if (hung_) {
        return noAnswer(Hold::UntilAnswered);
    }
    if (plan_.denyAll) {
        return failWith(EPERM);
    }
    if ((setup.requestType & TYPE_MASK) == TYPE_VENDOR && plan_.board) {
        return boardRequest(setup);
    }
    if ((setup.requestType & TYPE_MASK) == TYPE_STANDARD) {
        return standardRequest(setup);
    }
    return failWith(EPIPE);
}

ControlReply SimulatedDevice::standardRequest(const ControlSetup& setup) const
{
    const bool stringRequest = setup.requestType == DIRECTION_IN &&
                               setup.request == GET_DESCRIPTOR &&
                               (setup.value >> 8) == DESCRIPTOR_STRING;
    if (!stringRequest || plan_.stallStrings) {
        return failWith(EPIPE);
    }
    const int index = setup.value & 0xFF;
    if (index == 0) {
        std::vector<std::uint8_t> languages{4, DESCRIPTOR_STRING};
        putWord(languages, LANGUAGE_US_ENGLISH);
        return reply(std::move(languages), setup.length);
    }
    const std::string text = stringAt(index);
    if (text.empty() || setup.index != LANGUAGE_US_ENGLISH) {
        return failWith(EPIPE);
    }
    // String descriptor: length, type, then UTF-16LE (table 9-16); ASCII maps one to one.
    std::vector<std::uint8_t> descriptor{static_cast<std::uint8_t>(2 + 2 * text.size()),
                                         DESCRIPTOR_STRING};
    for (const char c : text) {
        putWord(descriptor, static_cast<unsigned char>(c));
    }
    return reply(std::move(descriptor), setup.length);
}

ControlReply SimulatedDevice::boardRequest(const ControlSetup& setup)
{
    ++vendorRequests_;
    bool leaves = false;
    for (const InputChange& change : changes_) {
        if (change.order == vendorRequests_) {
            applyInputs(change.change);
            leaves = leaves || change.change.plugged == false;
        }
    }
    if (leaves) {
        ControlReply gone = failWith(ENODEV);
        gone.leftBus = true;
        return gone;
    }
    if (hung_) {
        // Hung from this request on (--at N:hang). It has counted: asked again once the board
        // answers, it counts again, so that this change does not come round a second time.
        return noAnswer(Hold::UntilAnswered);
    }
    const auto fault = std::find_if(faults_.begin(), faults_.end(), [this](const RequestFault& f) {
        return f.order == vendorRequests_;
    });
    if (fault != faults_.end()) {
        switch (fault->kind) {
        case FaultKind::Stall:
            return failWith(EPIPE);
        case FaultKind::Timeout:
            return failWith(ETIMEDOUT);
        case FaultKind::Hang:
            return noAnswer(Hold::UntilTimeout);
        case FaultKind::Denied:
            return failWith(EPERM);
        case FaultKind::Unplug:
            unplugged_ = true;
            return failWith(ENODEV);
        case FaultKind::Short:
            break;
        }
    }
    const bool known = setup.request == BOARD_READ_STATUS || setup.request == BOARD_SET_LEDS;
    if (setup.requestType != BOARD_REQUEST_TYPE || !known || setup.index != 0) {
        return failWith(EPIPE);
    }
    if (setup.request == BOARD_SET_LEDS) {
        lastValue_ = static_cast<std::uint8_t>(setup.value & 0xFF);
        leds_ = static_cast<std::uint8_t>(setup.value & LED_BITS);
    }
    ControlReply answer = reply(statusBytes(), setup.length);
    if (fault != faults_.end() && fault->kind == FaultKind::Short) {
        answer.data.resize(
            std::min(answer.data.size(), static_cast<std::size_t>(fault->shortLength)));
    }
    return answer;
}

std::vector<std::uint8_t> SimulatedDevice::statusBytes() const
{
    std::vector<std::uint8_t> status(BOARD_STATUS_LENGTH, 0);
    status[0] = static_cast<std::uint8_t>(BYTE0_UNREPORTED | leds_ | (pushed_ ? 0 : PUSH_RELEASED));
    status[1] = static_cast<std::uint8_t>(BYTE1_UNREPORTED | (~jumpers_ & JUMPER_BITS));
    status[2] = lastValue_;
    status[3] = static_cast<std::uint8_t>(vendorRequests_ & 0xFF);
    status[4] = 0x5A;
    status[5] = 0xC3;
    status[6] = 0x3C;
    return status;
}

std::string nodeName(int bus, int address)
{
    std::array<char, 16> text{};
    std::snprintf(text.data(), text.size(), "%03d/%03d", bus, address);
    return text.data();
}

std::string describeResult(long result, int error)
{
    if (result >= 0) {
        return std::to_string(result);
    }
    const char* name = strerrorname_np(error);
    std::string text = "-";
    text += name != nullptr ? name : std::to_string(error);
    return text;
}

std::string describeControl(const std::string& name, const ControlSetup& setup,
                            const ControlReply& reply)
{
    std::array<char, 128> text{};
    std::snprintf(text.data(), text.size(),
                  "%s CONTROL type=0x%02x request=%u value=0x%04x index=0x%04x length=%u result=",
                  name.c_str(), setup.requestType, setup.request, setup.value, setup.index,
                  setup.length);
    const long result = reply.error != 0 ? -1 : static_cast<long>(reply.data.size());
    return text.data() + describeResult(result, reply.error);
}

} // namespace sim

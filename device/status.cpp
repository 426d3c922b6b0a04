// The pure half of the device code: no libusb calls here.
#include "ledboard_device.hpp"

#include <cerrno>

namespace {

// Status byte 0: LED state in bits 3..5, the push button in bit 6 (0 while pressed).
constexpr unsigned LED_SHIFT = 3;
constexpr unsigned LED_MASK = 0x07;
constexpr unsigned PUSH_BIT = 0x40;
// Status byte 1: the four jumpers in bits 0..3, each 0 when fitted.
constexpr unsigned JUMP_MASK = 0x0F;

// The LED request carries five bits of the number, in bits 3..7 of wValue.
constexpr unsigned LED_VALUE_BITS = 0x1F;
constexpr unsigned LED_VALUE_SHIFT = 3;

} // namespace

std::uint16_t ledValue(int number) noexcept
{
    // Conversion to unsigned is modulo 2^32, so negatives keep their two's-complement bits.
    const auto bits = static_cast<unsigned>(number) & LED_VALUE_BITS;
    return static_cast<std::uint16_t>(bits << LED_VALUE_SHIFT);
}

BoardStatus decodeStatus(const StatusReply& reply) noexcept
{
    const unsigned first = reply.bytes[0];
    const unsigned second = reply.bytes[1];
    return BoardStatus{
        .led = (first >> LED_SHIFT) & LED_MASK,
        .push = (first & PUSH_BIT) == 0 ? 1U : 0U,
        .jump = ~second & JUMP_MASK,
    };
}

unsigned reportedLed(int number) noexcept
{
    return static_cast<unsigned>(number) & LED_MASK;
}

bool isPermissionError(int result) noexcept
{
    return result == -EPERM || result == -EACCES;
}

bool isUnplugged(int result) noexcept
{
    return result == -ENODEV || result == -ENXIO;
}

Acceptance judgeOpenFailure(int error) noexcept
{
    if (error == EACCES || error == EPERM) {
        return {Refusal::NoPermission, -error};
    }
    if (error == ENODEV || error == ENXIO || error == ENOENT) {
        return {Refusal::Unplugged, -error};
    }
    return {Refusal::NotOpened, error > 0 ? -error : 0};
}

Acceptance judgeStrings(int productRead, int manufacturerRead) noexcept
{
    const int failed = productRead <= 0 ? productRead : manufacturerRead;
    if (failed > 0) {
        return {Refusal::None, 0};
    }
    if (failed == 0) {
        // Also what libusb 0.1.12 returns for a string of 63 or more characters: it reads the
        // descriptor's length byte as a signed char.
        return {Refusal::StringsEmpty, 0};
    }
    if (isPermissionError(failed)) {
        return {Refusal::NoPermission, failed};
    }
    switch (-failed) {
    case EBADF: // libusb 0.1.12 keeps a handle whose node did not open; requests then fail so
        return {Refusal::NotOpened, failed};
    case ENODEV:
    case ENXIO: // libusb-compat's word for a device that is gone
        return {Refusal::Unplugged, failed};
    case EINVAL: // libusb-compat, asked for string index 0
        return {Refusal::NoStrings, failed};
    default:
        return {Refusal::StringsFailed, failed};
    }
}

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

bool isPermissionError(int result) noexcept
{
    return result == -EPERM || result == -EACCES;
}

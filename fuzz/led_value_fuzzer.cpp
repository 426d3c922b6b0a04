// libFuzzer target: any argument text through parseLedNumber and ledValue.
//
// For every input the LED value keeps bits 0..2 and the high byte clear; for every input whose
// number fits an int it equals atoi's value times 8, modulo 256. Sanitizers report the rest.
#include "arguments.hpp"
#include "ledboard_device.hpp"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

[[noreturn]] void fail(const char* what, const std::string& text, unsigned got, unsigned expected)
{
    std::fprintf(stderr, "%s for \"%s\": got 0x%x, expected 0x%x\n", what, text.c_str(), got,
                 expected);
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // A command-line argument ends at its first NUL.
    const std::string argument(reinterpret_cast<const char*>(data), size);
    const std::string text = argument.substr(0, argument.find('\0'));

    const unsigned value = ledValue(parseLedNumber(text));
    if ((value & 0xFF07U) != 0) {
        fail("bits outside 3..7", text, value, value & 0xF8U);
    }

    // strtol reads the same syntax as atoi and says when the number does not fit.
    errno = 0;
    const long number = std::strtol(text.c_str(), nullptr, 10);
    if (errno != ERANGE && number >= INT_MIN && number <= INT_MAX) {
        const unsigned expected = (static_cast<unsigned>(number) * 8U) % 256U;
        if (value != expected) {
            fail("LED value differs from atoi's times 8", text, value, expected);
        }
    }
    return 0;
}

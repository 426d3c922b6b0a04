#include "text.hpp"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

namespace {

constexpr char FIRST_PRINTABLE = 0x20; // space
constexpr char LAST_PRINTABLE = 0x7e;  // '~'; 0x7f is DEL
constexpr char UNPRINTABLE = '?';

} // namespace

// A C variadic function, unlike a template, lets the compiler check each call's format.
void TextBuffer::appendf(const char* format, ...) noexcept // NOLINT(cert-dcl50-cpp)
{
    if (overflowed_) {
        return;
    }
    std::va_list values;
    va_start(values, format);
    const int written =
        std::vsnprintf(storage_.data() + used_, storage_.size() - used_, format, values);
    va_end(values);
    if (written < 0) {
        storage_[used_] = '\0'; // an encoding error: the piece is lost, so the line is cut
        overflowed_ = true;
        return;
    }
    if (static_cast<std::size_t>(written) > capacity() - used_) {
        used_ = capacity(); // vsnprintf wrote what fit, and the NUL
        overflowed_ = true;
        return;
    }
    used_ += static_cast<std::size_t>(written);
}

void TextBuffer::append(std::string_view text) noexcept
{
    if (overflowed_) {
        return;
    }
    const std::size_t fits = std::min(text.size(), capacity() - used_);
    std::copy_n(text.data(), fits, storage_.data() + used_);
    used_ += fits;
    storage_[used_] = '\0';
    if (fits < text.size()) {
        overflowed_ = true;
    }
}

void TextBuffer::append(char c) noexcept
{
    append(std::string_view(&c, 1));
}

void TextBuffer::clear() noexcept
{
    used_ = 0;
    overflowed_ = false;
    storage_[0] = '\0';
}

void appendPrintable(TextBuffer& out, const char* bytes) noexcept
{
    if (bytes == nullptr) {
        return;
    }
    for (; *bytes != '\0'; ++bytes) {
        const char c = *bytes;
        out.append(c >= FIRST_PRINTABLE && c <= LAST_PRINTABLE ? c : UNPRINTABLE);
    }
}

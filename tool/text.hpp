// Output lines built up piece by piece in fixed buffers, so that the tool needs neither the heap
// nor std::string (and with it the C++ runtime library) to put a line together.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string_view>

// Text in a fixed buffer, always NUL-terminated. What does not fit is cut, and the buffer says so:
// a caller that must never print a cut line (a JSON line) refuses it when overflowed() is true.
// The storage comes from FixedTextBuffer below; functions that add to any line take a TextBuffer&.
class TextBuffer {
public:
    TextBuffer(const TextBuffer&) = delete;
    TextBuffer& operator=(const TextBuffer&) = delete;
    TextBuffer(TextBuffer&&) = delete;
    TextBuffer& operator=(TextBuffer&&) = delete;

    // Appends as snprintf would write it. The compiler checks the format against the values.
    void appendf(const char* format, ...) noexcept __attribute__((format(printf, 2, 3)));
    // Appends text as it is: no format, so a '%' in it is only a '%'.
    void append(std::string_view text) noexcept;
    void append(char c) noexcept;

    const char* text() const noexcept { return storage_.data(); }
    std::string_view view() const noexcept { return {storage_.data(), used_}; }
    std::size_t size() const noexcept { return used_; }
    // The most text the buffer holds, without its NUL.
    std::size_t capacity() const noexcept { return storage_.size() - 1; }
    // True once anything was cut; then nothing more is added until clear().
    bool overflowed() const noexcept { return overflowed_; }
    void clear() noexcept;

protected:
    // `storage` holds at least the NUL.
    explicit TextBuffer(std::span<char> storage) noexcept : storage_(storage) {}
    ~TextBuffer() = default;

private:
    std::span<char> storage_;
    std::size_t used_ = 0;
    bool overflowed_ = false;
};

namespace text_detail {
// The storage of a FixedTextBuffer, a base class so that it exists before TextBuffer refers to it.
template <std::size_t Size>
struct Storage {
    std::array<char, Size> chars{};
};
} // namespace text_detail

// A TextBuffer that holds up to Capacity characters.
template <std::size_t Capacity>
class FixedTextBuffer final : private text_detail::Storage<Capacity + 1>, public TextBuffer {
public:
    FixedTextBuffer() noexcept : TextBuffer(text_detail::Storage<Capacity + 1>::chars) {}
};

// Appends `bytes` (NUL-terminated; nothing for null) with every byte outside printable ASCII,
// 0x20 to 0x7e, replaced by '?': what the plain output prints of text it does not control, such
// as a board's strings and a --serial argument, so that no byte there can move the cursor,
// change the terminal's state or break a line apart.
void appendPrintable(TextBuffer& out, const char* bytes) noexcept;

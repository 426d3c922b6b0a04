// Lines in fixed buffers, and the plain output's safe text.
#include "text.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

TEST(TextBuffer, KeepsWhatFitsAndSaysWhenItCut)
{
    FixedTextBuffer<8> line;
    EXPECT_EQ(line.capacity(), 8U);
    line.appendf("%03u/%s", 1U, "4");
    line.append('|');
    line.append("5%");
    EXPECT_EQ(line.view(), "001/4|5%");
    EXPECT_STREQ(line.text(), "001/4|5%");
    EXPECT_FALSE(line.overflowed()); // exactly full is not cut

    line.append('x');
    EXPECT_TRUE(line.overflowed());
    EXPECT_EQ(line.view(), "001/4|5%");

    line.clear();
    EXPECT_FALSE(line.overflowed());
    line.appendf("%s%d", "abcdefg", 8);
    EXPECT_EQ(line.view(), "abcdefg8");
    EXPECT_FALSE(line.overflowed());

    line.clear();
    line.appendf("%s", "abcdefghij");
    EXPECT_TRUE(line.overflowed());
    EXPECT_STREQ(line.text(), "abcdefgh");
    EXPECT_EQ(line.size(), 8U);

    // Once cut, nothing more is added, not even what would fit.
    line.clear();
    line.append("abcdef");
    line.append("ghi");
    line.append("");
    line.appendf("%s", "");
    EXPECT_EQ(line.view(), "abcdefgh");
    EXPECT_TRUE(line.overflowed());
}

TEST(TextBuffer, PrintableTextReplacesEveryOtherByte)
{
    std::string every;
    for (int c = 1; c <= 0xff; ++c) {
        every.push_back(static_cast<char>(c));
    }
    FixedTextBuffer<512> line;
    appendPrintable(line, every.c_str());
    ASSERT_EQ(line.size(), every.size());
    for (std::size_t i = 0; i < every.size(); ++i) {
        const auto c = static_cast<unsigned char>(every[i]);
        const char expected = c >= 0x20 && c <= 0x7e ? static_cast<char>(c) : '?';
        EXPECT_EQ(line.view()[i], expected) << "byte " << static_cast<int>(c);
    }

    line.clear();
    appendPrintable(line, "A\x1b[2J 17\xc3\xa9");
    appendPrintable(line, nullptr);
    EXPECT_EQ(line.view(), "A?[2J 17??");
}

} // namespace

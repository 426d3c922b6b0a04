// JSON Lines: the object's layout, and strings that are valid JSON whatever their bytes.
#include "json.hpp"
#include "sysfs.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>
#include <string_view>

namespace {

std::string jsonOf(std::string_view bytes)
{
    JsonLine line;
    appendJsonString(line, bytes);
    EXPECT_FALSE(line.overflowed());
    return std::string(line.view());
}

TEST(Json, FieldsInCallOrderOnOneLine)
{
    JsonLine line;
    JsonObject object(line);
    object.number("bus", 1).number("offset", -4).number("big", UINT64_MAX);
    object.number("small", INT_MIN).number("byte", std::uint8_t{200});
    object.string("serial", "A17").string("none", nullptr);
    object.boolean("usable", true).boolean("locked", false).null("reason");
    object.end();
    EXPECT_FALSE(line.overflowed());
    EXPECT_EQ(line.view(), R"({"bus":1,"offset":-4,"big":18446744073709551615,"small":-2147483648,)"
                           R"("byte":200,"serial":"A17","none":null,"usable":true,"locked":false,)"
                           R"("reason":null})"
                           "\n");

    JsonLine empty;
    JsonObject(empty).end();
    EXPECT_EQ(empty.view(), "{}\n");

    JsonLine oddKey;
    JsonObject(oddKey).null("a\"b\n").end();
    EXPECT_EQ(oddKey.view(), "{\"a\\\"b\\n\":null}\n");
}

TEST(Json, EscapesQuotesBackslashesAndControlCharacters)
{
    EXPECT_EQ(jsonOf(""), R"("")");
    EXPECT_EQ(jsonOf(R"(say "hi" \ / ')"), R"("say \"hi\" \\ / '")");
    EXPECT_EQ(jsonOf("\b\f\n\r\t"), R"("\b\f\n\r\t")");
    EXPECT_EQ(jsonOf(std::string_view("\0\x01\x1b\x1f\x7f", 5)),
              R"("\u0000\u0001\u001b\u001f\u007f")");
    EXPECT_EQ(jsonOf(" ~"), R"(" ~")");
}

TEST(Json, PassesWellFormedUtf8AndReplacesEveryOtherByte)
{
    // Each boundary of Unicode's table of well-formed sequences, as it is.
    for (const char* text :
         {"\xc2\x80", "\xdf\xbf", "\xe0\xa0\x80", "\xe0\xbf\xbf", "\xe1\x80\x80", "\xec\xbf\xbf",
          "\xed\x80\x80", "\xed\x9f\xbf", "\xee\x80\x80", "\xef\xbf\xbf", "\xf0\x90\x80\x80",
          "\xf0\xbf\xbf\xbf", "\xf1\x80\x80\x80", "\xf3\xbf\xbf\xbf", "\xf4\x80\x80\x80",
          "\xf4\x8f\xbf\xbf", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x92\xa1"}) {
        EXPECT_EQ(jsonOf(text), '"' + std::string(text) + '"') << text;
    }

    const std::pair<std::string_view, std::string_view> replaced[] = {
        {"\x80", R"("\ufffd")"}, // a stray continuation
        {"a\xbf"
         "b",
         R"("a\ufffdb")"},                                     //
        {"\xc0\x80", R"("\ufffd\ufffd")"},                     // overlong NUL
        {"\xc1\xbf", R"("\ufffd\ufffd")"},                     // overlong DEL
        {"\xe0\x9f\xbf", R"("\ufffd\ufffd\ufffd")"},           // overlong U+07FF
        {"\xf0\x8f\xbf\xbf", R"("\ufffd\ufffd\ufffd\ufffd")"}, // overlong U+FFFF
        {"\xed\xa0\x80", R"("\ufffd\ufffd\ufffd")"},           // surrogate U+D800
        {"\xed\xbf\xbf", R"("\ufffd\ufffd\ufffd")"},           // surrogate U+DFFF
        {"\xf4\x90\x80\x80", R"("\ufffd\ufffd\ufffd\ufffd")"}, // U+110000
        {"\xf5\x80\x80\x80", R"("\ufffd\ufffd\ufffd\ufffd")"}, //
        {"\xfe\xff", R"("\ufffd\ufffd")"},                     //
        {"\xe2\x82", R"("\ufffd\ufffd")"},                     // cut at the end
        {"\xe2\x82"
         "A",
         R"("\ufffd\ufffdA")"}, // cut by ASCII
        {"\xf0\x9f\x92"
         "\n",
         R"("\ufffd\ufffd\ufffd\n")"},                   // cut by a control
        {"\xc3\xc3\xa9", "\"\\ufffd\xc3\xa9\""},         // cut by a lead byte
        {"\xe2\x82\xac\xac", "\"\xe2\x82\xac\\ufffd\""}, // one continuation too many
    };
    for (const auto& [bytes, json] : replaced) {
        EXPECT_EQ(jsonOf(bytes), json) << testing::PrintToString(std::string(bytes));
    }
    // The string ends where the view ends, even inside a sequence.
    EXPECT_EQ(jsonOf(std::string_view("\xe2\x82\xac", 2)), R"("\ufffd\ufffd")");
}

TEST(Json, ALineHoldsThreeLongestStringsAtTheirWorst)
{
    // Both kinds of worst byte: a control character and a byte that is not UTF-8.
    for (const char worst : {'\x01', '\xff'}) {
        const std::string longest(JSON_STRING_MAX_BYTES, worst);
        JsonLine line;
        JsonObject object(line);
        object.number("bus", MAX_BUS_NUMBER).number("device", MAX_DEVICE_NUMBER);
        object.string("port", "999-255.255.255.255.255.255.255").boolean("usable", true);
        object.string("manufacturer", longest.c_str()).string("product", longest.c_str());
        object.string("serial", longest.c_str()).null("reason");
        object.end();
        EXPECT_FALSE(line.overflowed()) << static_cast<int>(worst);
        EXPECT_EQ(line.view().back(), '\n');

        // One string more is more than a line holds: the caller sees it.
        JsonObject(line).string("more", longest.c_str()).end();
        EXPECT_TRUE(line.overflowed());
    }
}

} // namespace

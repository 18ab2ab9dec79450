#include "settings/cp1252.h"

#include <gtest/gtest.h>

namespace {

using namespace std::string_literals;

TEST(Cp1252, EncodesAndDecodes)
{
    const struct {
        std::string utf8, cp1252;
        bool round_trip;
    } cases[] = {
        {"Port série :", "Port s\xE9rie :", true},
        {"€‚ƒ„…†‡ˆ‰Š‹ŒŽ", "\x80\x82\x83\x84\x85\x86\x87\x88\x89\x8A\x8B\x8C\x8E", true},
        {"‘’“”•–—˜™š›œžŸ", "\x91\x92\x93\x94\x95\x96\x97\x98\x99\x9A\x9B\x9C\x9E\x9F", true},
        {"\u00A0ÿ", "\xA0\xFF", true},
        {"\u0081\u008D\u008F\u0090\u009D", "\x81\x8D\x8F\x90\x9D", true},  // the undefined bytes
        {"a\0b"s, "a\0b"s, true},
        {"日x😀", "?x?", false},
        {"\u0080\u0085", "??", false},  // C1 codes whose bytes 1252 gives to other characters
        {"\xC3", "?", false},           // cut sequence
        {"\xC3\xA9\xA9", "\xE9?", false},
        {"\xC0\xAF\xED\xA0\x80", "?????", false},  // overlong, surrogate
        {"\xF4\x90\x80\x80", "????", false},       // above U+10FFFF
    };
    for (const auto& c : cases) {
        EXPECT_EQ(text::utf8_to_cp1252(c.utf8), c.cp1252) << c.utf8;
        if (c.round_trip) {
            EXPECT_EQ(text::cp1252_to_utf8(c.cp1252), c.utf8) << c.utf8;
        }
    }
    std::string all;
    for (int byte = 0; byte < 256; ++byte) all += static_cast<char>(byte);
    EXPECT_TRUE(text::is_valid_utf8(text::cp1252_to_utf8(all)));
    EXPECT_EQ(text::utf8_to_cp1252(text::cp1252_to_utf8(all)), all);
}

}  // namespace

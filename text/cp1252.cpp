#include "text/cp1252.h"

#include <array>
#include <cstdint>

namespace text {
namespace {

// Code points of bytes 0x80..0x9F; 0xA0..0xFF equal their code point. The
// undefined bytes map to the C1 control of the same value.
constexpr std::array<char32_t, 32> high_block{
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 0x80
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,  // 0x88
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 0x90
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,  // 0x98
};

constexpr bool is_continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// Length of the well-formed UTF-8 sequence at the start of bytes, with its
// code point, or 0 when the first byte does not start one.
std::size_t decode_one(std::string_view bytes, char32_t& code_point)
{
    const auto at = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    const unsigned char lead = at(0);
    if (lead < 0x80) {
        code_point = lead;
        return 1;
    }
    std::size_t length = 0;
    unsigned char low = 0x80;  // allowed range of the second byte
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        code_point = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        code_point = lead & 0x0F;
        if (lead == 0xE0) low = 0xA0;   // overlong
        if (lead == 0xED) high = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        code_point = lead & 0x07;
        if (lead == 0xF0) low = 0x90;   // overlong
        if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
    } else {
        return 0;
    }
    if (bytes.size() < length || at(1) < low || at(1) > high) {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if (!is_continuation(at(i))) {
            return 0;
        }
        code_point = (code_point << 6) | (at(i) & 0x3F);
    }
    return length;
}

void append_utf8(std::string& out, char32_t code_point)
{
    if (code_point < 0x80) {
        out += static_cast<char>(code_point);
    } else if (code_point < 0x800) {
        out += static_cast<char>(0xC0 | (code_point >> 6));
        out += static_cast<char>(0x80 | (code_point & 0x3F));
    } else {  // Windows-1252 holds nothing beyond the BMP
        out += static_cast<char>(0xE0 | (code_point >> 12));
        out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code_point & 0x3F));
    }
}

char encode_one(char32_t code_point)
{
    if (code_point < 0x80 || (code_point >= 0xA0 && code_point <= 0xFF)) {
        return static_cast<char>(code_point);
    }
    for (std::size_t i = 0; i < high_block.size(); ++i) {
        if (high_block[i] == code_point) {
            return static_cast<char>(0x80 + i);
        }
    }
    return '?';
}

}  // namespace

std::string utf8_to_cp1252(std::string_view utf8)
{
    std::string out;
    out.reserve(utf8.size());
    while (!utf8.empty()) {
        char32_t code_point = 0;
        const std::size_t length = decode_one(utf8, code_point);
        out += length == 0 ? '?' : encode_one(code_point);
        utf8.remove_prefix(length == 0 ? 1 : length);
    }
    return out;
}

std::string cp1252_to_utf8(std::string_view bytes)
{
    std::string out;
    out.reserve(bytes.size() + bytes.size() / 4);
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        append_utf8(out, byte >= 0x80 && byte < 0xA0 ? high_block[byte - 0x80] : char32_t{byte});
    }
    return out;
}

bool is_valid_utf8(std::string_view bytes)
{
    while (!bytes.empty()) {
        char32_t code_point = 0;
        const std::size_t length = decode_one(bytes, code_point);
        if (length == 0) {
            return false;
        }
        bytes.remove_prefix(length);
    }
    return true;
}

bool is_ascii(std::string_view bytes)
{
    for (const char c : bytes) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            return false;
        }
    }
    return true;
}

bool line_is_utf8(std::string_view line) { return !is_ascii(line) && is_valid_utf8(line); }

std::size_t utf8_prefix_length(std::string_view utf8, std::size_t max_bytes)
{
    if (utf8.size() <= max_bytes) {
        return utf8.size();
    }
    std::size_t end = max_bytes;
    while (end > 0 && is_continuation(static_cast<unsigned char>(utf8[end]))) {
        --end;
    }
    return end;
}

std::string encode_line(std::string_view utf8)
{
    std::string bytes = utf8_to_cp1252(utf8);
    if (!is_valid_utf8(utf8) || (!line_is_utf8(bytes) && cp1252_to_utf8(bytes) == utf8)) {
        return bytes;
    }
    return std::string(utf8);
}

std::string printable(std::string_view text)
{
    std::string shown(text);
    for (char& c : shown) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            c = '?';
        }
    }
    return shown;
}

}  // namespace text

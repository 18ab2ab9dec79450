// Windows-1252, the single-byte character set of the settings file and of the
// measurement log, to and from the UTF-8 used everywhere else in the program.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace text {

// UTF-8 to Windows-1252. A character that has no Windows-1252 byte becomes
// '?', and so does each byte of a malformed UTF-8 sequence. U+0081, U+008D,
// U+008F, U+0090 and U+009D give back the five bytes that Windows-1252 leaves
// undefined, so that cp1252_to_utf8 and this function round-trip every byte.
std::string utf8_to_cp1252(std::string_view utf8);

// Windows-1252 to UTF-8. Every byte decodes; the five undefined bytes 0x81,
// 0x8D, 0x8F, 0x90 and 0x9D become the C1 control characters of the same
// value.
std::string cp1252_to_utf8(std::string_view bytes);

// Well-formed UTF-8: shortest forms only, no surrogates, nothing above U+10FFFF.
bool is_valid_utf8(std::string_view bytes);
bool is_ascii(std::string_view bytes);

// How a line of a file that people edit by hand is read: a line that is valid
// UTF-8 and not plain ASCII was saved as UTF-8, any other line as
// Windows-1252.
bool line_is_utf8(std::string_view line);
// The bytes of a line of text (UTF-8) in a file of this kind: Windows-1252
// when that holds the text and the line will not be taken back for UTF-8
// (as "Ã©" would); UTF-8 otherwise, which line_is_utf8 recognises. Text that
// is not valid UTF-8 has no better form than Windows-1252 with '?' for what
// is broken.
std::string encode_line(std::string_view utf8);
// text with each control byte (below 0x20, and 0x7F) as '?': a name fit for a
// one-line message whatever it holds.
std::string printable(std::string_view text);

// Length in bytes of the longest prefix of the valid UTF-8 text utf8 that is
// at most max_bytes long and does not end inside a sequence.
std::size_t utf8_prefix_length(std::string_view utf8, std::size_t max_bytes);

}  // namespace text

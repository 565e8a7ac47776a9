// Small text routines every layer uses: hexadecimal forms of bytes and codes,
// blank trimming, and the single-byte text drives report as UTF-8 and back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qx {

// The low byte of `value` as exactly two upper-case hexadecimal digits ("0A").
// Status and sense texts show their codes this way.
std::string Hex2(int value);
// Upper-case hexadecimal without leading zeros ("FB", "0" for zero).
std::string Hex(uint32_t value);
// Bytes as hexadecimal groups, "0A FF " (two upper-case digits and a blank each).
void AppendHexGroups(std::string& out, const uint8_t* bytes, size_t n);
std::string HexGroups(const uint8_t* bytes, size_t n);

// `s` without the blanks (spaces) at either end, as names and captions are compared.
std::string TrimSpaces(std::string_view s);
// `s` without the blanks at its end.
std::string TrimTrailingSpaces(std::string_view s);

// Every byte as the character of the same number (ISO 8859-1) in UTF-8.
std::string Latin1ToUtf8(std::string_view bytes);
// The inverse for characters up to U+00FF; anything else is kept as it is.
std::string Utf8ToLatin1(std::string_view utf8);

// The lines joined with '\n', each kept to one line: a control character
// inside one (a name read from a driver may hold any) becomes a blank.
std::string JoinedLines(const std::vector<std::string>& lines);

// What a message quotes of a text that may be huge (an argument, a name from
// a file): at most `max` bytes of it, cut before a UTF-8 character that would
// not fit whole, then "..." when something was left out.
std::string Excerpt(std::string_view text, size_t max);
// The same, followed by " (N characters)" when something was left out, so
// the reader knows how much was given: for a bad argument on the command line.
std::string ExcerptWithLength(std::string_view text, size_t max);
// A long list named in short: the first `named` items joined with ", ", then
// " and K more" for the rest ("/a, /b and 2998 more").
std::string FirstAndCount(const std::vector<std::string>& items, size_t named);

}  // namespace qx

// Text a drive reports (INQUIRY fields, version bytes) is single-byte; these
// convert it to UTF-8 for terminals, JSON and files, and back.
#pragma once

#include <string>
#include <string_view>

namespace qx {

// Every byte as the character of the same number (ISO 8859-1) in UTF-8.
std::string Latin1ToUtf8(std::string_view bytes);
// The inverse for characters up to U+00FF; anything else is kept as it is.
std::string Utf8ToLatin1(std::string_view utf8);

}  // namespace qx

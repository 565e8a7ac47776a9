// Conversions between the models' byte strings and the UTF-16 texts the wide
// Win32 calls take.
#pragma once

#include <string>
#include <string_view>

namespace qx::win32 {

// A model string as UTF-16: UTF-8 when it is valid UTF-8, otherwise each byte
// as one Latin-1 character (INQUIRY data and adapter names are raw bytes).
std::wstring FromModel(std::string_view text);

// For one-line controls (labels, list items, the status line): every control
// character, line breaks included, shown as a blank.
std::wstring OneLine(std::string_view text);

// For message boxes and tool tips: CR LF stays, a lone CR or LF becomes CR LF.
std::wstring MessageBoxText(std::string_view text);

// UTF-16 back to UTF-8 (paths the system gives, texts typed in).
std::string ToUtf8(std::wstring_view text);

}  // namespace qx::win32

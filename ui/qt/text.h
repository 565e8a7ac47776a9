// Conversions between the models' byte strings and the texts Qt shows.
#pragma once

#include <QString>
#include <string>

namespace qx::qt {

// A model string as Qt text: UTF-8 when it is valid UTF-8, otherwise each byte
// as one Latin-1 character (INQUIRY data and adapter names are raw bytes).
QString FromModel(const std::string& text);

// For one-line controls (labels, combo items, the status line): every control
// character, line breaks included, shown as a blank.
QString OneLine(const std::string& text);

// For message boxes: CR LF, a lone LF and a lone CR each become one line break.
QString MessageBoxText(const std::string& text);

}  // namespace qx::qt

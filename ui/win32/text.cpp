#include "ui/win32/text.h"

#include <windows.h>

#include <climits>

namespace qx::win32 {

namespace {

std::wstring Utf8ToWide(std::string_view text) {
  if (text.empty() || text.size() > static_cast<size_t>(INT_MAX)) return {};
  const int size = static_cast<int>(text.size());
  const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, nullptr, 0);
  if (n <= 0) return {};
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, wide.data(), n);
  return wide;
}

bool IsAscii(std::string_view text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

}  // namespace

std::wstring FromModel(std::string_view text) {
  if (IsAscii(text)) return std::wstring(text.begin(), text.end());
  // MB_ERR_INVALID_CHARS refuses overlong forms, surrogates and truncated
  // sequences: such text is taken byte by byte.
  std::wstring wide = Utf8ToWide(text);
  if (!wide.empty()) return wide;
  wide.reserve(text.size());
  for (char c : text) wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
  return wide;
}

std::wstring OneLine(std::string_view text) {
  std::wstring line = FromModel(text);
  for (wchar_t& c : line) {
    if (c < 0x20 || c == 0x7F) c = L' ';
  }
  return line;
}

std::wstring MessageBoxText(std::string_view text) {
  const std::wstring in = FromModel(text);
  std::wstring out;
  out.reserve(in.size() + 8);
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i] == L'\r') {
      out += L"\r\n";
      if (i + 1 < in.size() && in[i + 1] == L'\n') ++i;
    } else if (in[i] == L'\n') {
      out += L"\r\n";
    } else {
      out.push_back(in[i]);
    }
  }
  return out;
}

std::string ToUtf8(std::wstring_view text) {
  if (text.empty() || text.size() > static_cast<size_t>(INT_MAX)) return {};
  const int size = static_cast<int>(text.size());
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
  std::string narrow(static_cast<size_t>(n > 0 ? n : 0), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), size, narrow.data(), n, nullptr, nullptr);
  return narrow;
}

}  // namespace qx::win32

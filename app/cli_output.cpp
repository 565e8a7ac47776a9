#include "app/cli_output.h"

#include <cerrno>
#include <cstdio>
#include <iostream>
#include <nlohmann/json.hpp>

#include "text/text.h"

namespace qx::cli {

std::optional<long long> ParseNumber(const std::string& text) {
  if (text.empty()) return std::nullopt;
  const bool negative = text[0] == '-';
  std::string digits = negative ? text.substr(1) : text;
  int base = 10;
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    base = 16;
    digits = digits.substr(2);
  }
  if (digits.empty() || digits.size() > 12) return std::nullopt;
  long long value = 0;
  for (char c : digits) {
    int d;
    if (c >= '0' && c <= '9') {
      d = c - '0';
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      d = c - 'a' + 10;
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      d = c - 'A' + 10;
    } else {
      return std::nullopt;
    }
    value = value * base + d;
  }
  return negative ? -value : value;
}

std::optional<double> ParseDecimal(const std::string& text) {
  const size_t dot = text.find('.');
  if (dot == std::string::npos) {
    const auto whole = ParseNumber(text);
    return whole ? std::optional<double>(static_cast<double>(*whole)) : std::nullopt;
  }
  const std::string whole_text = text.substr(0, dot), fraction = text.substr(dot + 1);
  const bool negative = !whole_text.empty() && whole_text[0] == '-';
  const auto whole = ParseNumber(whole_text);
  // Decimal digits on both sides of the point: no hexadecimal fraction.
  if (!whole || whole_text.find_first_of("xX") != std::string::npos) return std::nullopt;
  if (fraction.empty() || fraction.size() > 9 ||
      fraction.find_first_not_of("0123456789") != std::string::npos) {
    return std::nullopt;
  }
  double part = 0, scale = 1;
  for (char c : fraction) {
    part = part * 10 + (c - '0');
    scale *= 10;
  }
  part /= scale;
  return negative ? static_cast<double>(*whole) - part : static_cast<double>(*whole) + part;
}

std::string QuotedArg(std::string_view arg) {
  return Printable(ExcerptWithLength(arg, kQuotedBytes));
}

namespace {

// Length of the UTF-8 sequence at s[i] (2-4), or 0 when it is not one.
size_t Utf8Length(std::string_view s, size_t i) {
  const auto c = static_cast<unsigned char>(s[i]);
  size_t n = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c < 0xE0 ? 2 : 0;
  if (n == 0 || i + n > s.size()) return 0;
  for (size_t k = 1; k < n; ++k) {
    if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return 0;
  }
  return n;
}

}  // namespace

std::string Printable(std::string_view text, bool keepNewlines) {
  std::string out;
  out.reserve(text.size());
  char esc[8];
  for (size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
      ++i;
    } else if (c == '\n' && keepNewlines) {
      out += '\n';
      ++i;
    } else if (const size_t n = c >= 0x80 ? Utf8Length(text, i) : 0; n > 0) {
      const auto next = static_cast<unsigned char>(text[i + 1]);
      if (c == 0xC2 && next < 0xA0) {  // C1 control characters U+0080..U+009F
        std::snprintf(esc, sizeof esc, "\\u%04X", next);
        out += esc;
      } else {
        out.append(text.substr(i, n));
      }
      i += n;
    } else {
      std::snprintf(esc, sizeof esc, "\\x%02X", c);
      out += esc;
      ++i;
    }
  }
  return out;
}

namespace {

// The system's multi-line texts on a terminal: CR LF, lone LF and lone CR
// start a new line indented by `indent`.
std::string Lines(const std::string& text, const std::string& indent) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' || text[i] == '\n') {
      if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      out += "\n" + indent;
    } else {
      out += text[i];
    }
  }
  return out;
}

const char* StyleName(int style) {
  switch (style) {
    case kStyleCritical:
      return "error";
    case kStyleQuestion:
      return "question";
    case kStyleExclamation:
      return "notice";
    default:
      return "message";
  }
}

}  // namespace

Reporter::Reporter(std::ostream& out, bool json, bool live) : out_(out), json_(json), live_(live) {}

void Reporter::Write(const std::string& text) {
  EndLive();
  if (failed()) return;
  errno = 0;
  out_ << text << std::flush;
  if (!out_) error_ = errno != 0 ? errno : EIO;
}

void Reporter::Json(const nlohmann::json& j) {
  Write(j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");
}

void Reporter::Human(const std::string& line) {
  Write(Printable(Lines(line, "    "), true) + "\n");
}

void Reporter::Status(const std::string& text) {
  if (json_) {
    Json({{"event", "status"}, {"text", text}});
  } else if (!text.empty()) {
    Human("[status] " + text);
  }
}

void Reporter::Box(const std::string& text, int style, const std::string& title, int answer) {
  if (json_) {
    Json({{"event", "msgbox"},
          {"style", style},
          {"title", title},
          {"text", text},
          {"answer", answer}});
    return;
  }
  std::string line = std::string("[") + StyleName(style) + "] " + title + ": " + text;
  if (style == kStyleQuestion) line += answer == kAnswerOk ? "  -> OK" : "  -> Cancel";
  Human(line);
}

void Reporter::Trace(const std::string& line) {
  if (json_) {
    Json({{"event", "trace"}, {"line", line}});
  } else {
    Human("| " + line);
  }
}

void Reporter::Data(const std::string& line) {
  if (json_) {
    Json({{"event", "data"}, {"line", line}});
  } else {
    Human(line);
  }
}

void Reporter::Live(const std::string& line) {
  if (!live_) return;
  std::cerr << "\r\033[K" << Printable(line) << std::flush;
  live_shown_ = true;
}

void Reporter::EndLive() {
  if (!live_shown_) return;
  std::cerr << "\r\033[K" << std::flush;
  live_shown_ = false;
}

}  // namespace qx::cli

// What the command line prints: events as plain lines or JSON objects, and the
// text rules that keep files' and devices' bytes from disturbing a terminal.
#pragma once

#include <iosfwd>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "platform/window_system.h"
#include "text/text.h"

namespace qx::cli {

// The one grammar of every number on the command line (--ha, --id,
// --timeout, the arguments of send): an optional '-', then decimal digits or
// 0x and hexadecimal digits, and nothing else: no blank before or after, no
// '+', no exponent.
std::optional<long long> ParseNumber(const std::string& text);
// The same grammar with a decimal fraction after decimal digits ("0.5"), for
// a number of seconds.
std::optional<double> ParseDecimal(const std::string& text);

// At most this many bytes of a bad argument are quoted in a message.
inline constexpr size_t kQuotedBytes = 200;
// A bad argument as a message quotes it: its first kQuotedBytes bytes and
// its length when it is longer, control characters escaped (Printable).
std::string QuotedArg(std::string_view arg);

// Text for a terminal: control characters (C0, DEL, C1) and bytes that are not
// UTF-8 are shown as \xNN (C1 as \u00NN); with `keepNewlines`, LF stays.
std::string Printable(std::string_view text, bool keepNewlines = false);

// Writes events as human-readable lines or as one JSON object per line. The
// first failed write is remembered (with its errno) and nothing more is written.
class Reporter {
 public:
  Reporter(std::ostream& out, bool json, bool live);
  bool json() const { return json_; }
  bool live() const { return live_; }  // a terminal for the live progress line
  bool failed() const { return error_ != 0; }
  int error() const { return error_; }

  void Json(const nlohmann::json& j);
  void Human(const std::string& line);
  void Status(const std::string& text);
  void Box(const std::string& text, int style, const std::string& title, int answer);
  void Trace(const std::string& line);
  void Data(const std::string& line);  // a dump line
  // The live progress line (on stderr): shown in place, erased by EndLive and
  // before any other output.
  void Live(const std::string& line);
  void EndLive();

 private:
  void Write(const std::string& text);
  std::ostream& out_;
  bool json_;
  bool live_;
  bool live_shown_ = false;
  int error_ = 0;
};

}  // namespace qx::cli

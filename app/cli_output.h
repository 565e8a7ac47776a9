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

// A number written in decimal or as 0x.. hexadecimal, with an optional '-'.
std::optional<long long> ParseNumber(const std::string& text);

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

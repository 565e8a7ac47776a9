#include "commands/hexdump.h"

#include <cstdio>

namespace qx {

std::string DumpLine(size_t offset, std::span<const uint8_t> bytes16) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  char head[16];
  std::snprintf(head, sizeof head, "%06zX", offset & 0xFFFFFF);
  std::string line = head;
  line += ':';
  for (uint8_t b : bytes16) {
    line += kDigits[b >> 4];
    line += kDigits[b & 0xF];
    line += ' ';
  }
  return line;
}

std::vector<std::string> DumpLines(std::span<const uint8_t> buffer) {
  std::vector<std::string> lines;
  lines.reserve((buffer.size() + 15) / 16);
  for (size_t off = 0; off < buffer.size(); off += 16) {
    lines.push_back(DumpLine(off, buffer.subspan(off, std::min<size_t>(16, buffer.size() - off))));
  }
  return lines;
}

}  // namespace qx

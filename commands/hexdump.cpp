#include "commands/hexdump.h"

#include <cstdio>

#include "text/text.h"

namespace qx {

std::string DumpLine(size_t offset, std::span<const uint8_t> bytes16) {
  char head[16];
  std::snprintf(head, sizeof head, "%06zX:", offset & 0xFFFFFF);
  std::string line = head;
  AppendHexGroups(line, bytes16.data(), bytes16.size());
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

// Notes joined for one warning: each stays one line whatever bytes a name read
// from a driver holds.
#include "text/text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qx {
namespace {

TEST(Text, JoinedLinesKeepEachNoteOnOneLine) {
  const struct {
    std::vector<std::string> notes;
    std::string joined;
  } cases[] = {
      {{}, ""},
      {{"sg7 has no SCSI address"}, "sg7 has no SCSI address"},
      {{"host7 (ah\nci)", "tab\there\r"}, "host7 (ah ci)\ntab here "},
      {{"", "second"}, "\nsecond"},
      {{"caf\xc3\xa9 \x7f"}, "caf\xc3\xa9 \x7f"},  // UTF-8 and DEL are kept
  };
  for (const auto& c : cases) EXPECT_EQ(JoinedLines(c.notes), c.joined);
}

}  // namespace
}  // namespace qx

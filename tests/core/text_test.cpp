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

// What a message quotes of a huge text, and a long list in short.
TEST(Text, ExcerptsAndCountsKeepMessagesShort) {
  const struct {
    std::string text;
    size_t max;
    std::string excerpt, with_length;
  } cases[] = {
      {"short", 5, "short", "short"},
      {"longer", 4, "long...", "long... (6 characters)"},
      {"ab\xc3\xa9z", 3, "ab...", "ab... (4 characters)"},  // never half a character
      {"\xe2\x82\xac\xe2\x82\xac", 4, "\xe2\x82\xac...", "\xe2\x82\xac... (2 characters)"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Excerpt(c.text, c.max), c.excerpt);
    EXPECT_EQ(ExcerptWithLength(c.text, c.max), c.with_length);
  }
  const std::vector<std::string> items = {"/a", "/b", "/c", "/d"};
  EXPECT_EQ(FirstAndCount(items, 2), "/a, /b and 2 more");
  EXPECT_EQ(FirstAndCount(items, 4), "/a, /b, /c, /d");
  EXPECT_EQ(FirstAndCount({}, 3), "");
}

}  // namespace
}  // namespace qx

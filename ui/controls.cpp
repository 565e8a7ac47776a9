#include "ui/controls.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <system_error>

#include "platform/os.h"

namespace qx {

void ComboBox::SetListIndex(int index) {
  index_ = (index >= 0 && index < ListCount()) ? index : -1;
  if (index_ >= 0 && Click) Click();
}

void FileListBox::SetPath(std::string path) {
  path_ = std::move(path);
  Refresh();
}

void FileListBox::SetPattern(std::string pattern) {
  pattern_ = std::move(pattern);
  Refresh();
}

void FileListBox::Refresh() {
  items_.clear();
  index_ = -1;
  std::error_code ec;
  std::filesystem::directory_iterator it(os::PathFromUtf8(path_.empty() ? "." : path_), ec);
  for (; !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    std::error_code fec;
    if (!it->is_regular_file(fec)) continue;
    std::string name = os::Utf8FromPath(it->path().filename());
    if (MatchesPattern(name, pattern_)) items_.push_back(std::move(name));
  }
  std::sort(items_.begin(), items_.end());
}

void FileListBox::SetListIndex(int index) {
  index_ = (index >= 0 && index < ListCount()) ? index : -1;
  if (index_ >= 0 && Click) Click();
}

bool MatchesPattern(const std::string& name, const std::string& pattern) {
  // Iterative wildcard match with one backtrack point for '*'.
  size_t n = 0, p = 0, star = std::string::npos, mark = 0;
  auto same = [](char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) ==
           std::tolower(static_cast<unsigned char>(b));
  };
  while (n < name.size()) {
    if (p < pattern.size() && (pattern[p] == '?' || same(pattern[p], name[n]))) {
      ++n;
      ++p;
    } else if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      mark = n;
    } else if (star != std::string::npos) {
      p = star + 1;
      n = ++mark;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

}  // namespace qx

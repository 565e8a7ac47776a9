// Plain-data models of the window controls, with the semantics the handlers
// rely on: a combo box's list position and the text of the chosen item, clearing
// resets the position to none, and setting a position from code raises the
// control's click handler.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace qx {

struct Label {
  std::string Caption;
};

struct CommandButton {
  std::string Caption;
  bool Enabled = true;
};

struct TextBox {
  std::string Text;
};

struct MenuItem {
  std::string Caption;
  bool Enabled = true;
};

class ComboBox {
 public:
  void AddItem(std::string item) { items_.push_back(std::move(item)); }
  void Clear() {
    items_.clear();
    index_ = -1;
  }
  int ListCount() const { return static_cast<int>(items_.size()); }
  int ListIndex() const { return index_; }
  // Selects an item (or none with -1) and, for a real item, raises Click.
  void SetListIndex(int index);
  // The chosen item's text; empty with no selection.
  std::string Text() const { return index_ >= 0 ? items_[index_] : std::string(); }
  const std::vector<std::string>& Items() const { return items_; }

  bool Enabled = true;
  std::function<void()> Click;

 private:
  std::vector<std::string> items_;
  int index_ = -1;
};

// A file list: the files of Path whose names match Pattern, compared without
// regard to case, sorted by name.
class FileListBox {
 public:
  void SetPath(std::string path);
  void SetPattern(std::string pattern);
  void Refresh();  // re-reads the directory
  int ListCount() const { return static_cast<int>(items_.size()); }
  int ListIndex() const { return index_; }
  void SetListIndex(int index);  // raises Click for a real item
  std::string FileName() const { return index_ >= 0 ? items_[index_] : std::string(); }
  const std::vector<std::string>& Items() const { return items_; }
  const std::string& Path() const { return path_; }
  const std::string& Pattern() const { return pattern_; }

  bool Enabled = true;
  std::function<void()> Click;

 private:
  std::string path_;
  std::string pattern_ = "*.*";
  std::vector<std::string> items_;
  int index_ = -1;
};

// Case-insensitive match of a file name against a pattern with * and ?.
bool MatchesPattern(const std::string& name, const std::string& pattern);

}  // namespace qx

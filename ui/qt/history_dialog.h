// The download history as a read-only table, newest first: every attempt that
// got past the confirmation and every check of a drive after one.
#pragma once

#include <QDialog>
#include <string>

class QLabel;
class QTreeWidget;

namespace qx::qt {

class HistoryDialog final : public QDialog {
  Q_OBJECT

 public:
  // `path` empty: the history is switched off, and the dialog says so.
  explicit HistoryDialog(std::string path, QWidget* parent = nullptr);

  // Reads the file again and refills the table (damaged lines are skipped and
  // named in the warning line above the table).
  void Reload();

  enum Column {
    kTime,
    kTransport,
    kWhere,
    kProduct,
    kRelease,
    kOutcome,
    kBlocks,
    kText,
    kColumnCount
  };

 private:
  std::string path_;
  QLabel* source_ = nullptr;
  QLabel* warnings_ = nullptr;
  QTreeWidget* table_ = nullptr;
};

}  // namespace qx::qt

// The debug window D_WIn as a view of the DebugForm model: the trace list
// ASPI_Ret and the two text boxes.
#pragma once

#include <QWidget>
#include <functional>

class QLineEdit;
class QListWidget;

namespace qx {
struct DebugForm;
}

namespace qx::qt {

class DebugWindow final : public QWidget {
  Q_OBJECT

 public:
  // Observes `form` (on_line / on_clear) until destroyed.
  explicit DebugWindow(DebugForm& form, QWidget* parent = nullptr);
  ~DebugWindow() override;

  // Brings the list and the texts in line with the model.
  void Render();
  // Renders and repaints the trace list at once (window-system Refresh).
  void RefreshList();

  // The two dump buttons ("DataBuf", "ImageBuf"): hexadecimal dumps of the
  // transfer buffer and of the firmware image into the list.
  std::function<void()> on_dump_data;
  std::function<void()> on_dump_image;

 private:
  DebugForm& form_;
  QListWidget* list_ = nullptr;
  QLineEdit* text1_ = nullptr;
  QLineEdit* text2_ = nullptr;
};

}  // namespace qx::qt

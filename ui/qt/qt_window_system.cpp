#include "ui/qt/qt_window_system.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QCursor>
#include <QPushButton>

#include "ui/qt/text.h"

namespace qx::qt {

QMessageBox::Icon StyleIcon(int style) {
  switch (style & 0x70) {
    case 16:
      return QMessageBox::Critical;
    case 32:
      return QMessageBox::Question;
    case 48:
      return QMessageBox::Warning;
    case 64:
      return QMessageBox::Information;
    default:
      return QMessageBox::NoIcon;
  }
}

bool StyleHasCancel(int style) {
  return (style & 0x0F) == 1;
}

int ShowMessageBox(QWidget* parent, const std::string& text, int style, const std::string& title) {
  QMessageBox box(parent);
  box.setObjectName(QStringLiteral("MsgBox"));
  box.setIcon(StyleIcon(style));
  box.setWindowTitle(FromModel(title));
  box.setTextFormat(Qt::PlainText);
  box.setText(MessageBoxText(text));
  QPushButton* ok = box.addButton(QMessageBox::Ok);
  QPushButton* cancel = nullptr;
  if (StyleHasCancel(style)) {
    cancel = box.addButton(QMessageBox::Cancel);
    box.setEscapeButton(cancel);
  } else {
    box.setEscapeButton(ok);
  }
  box.setDefaultButton(ok);
  box.exec();
  return cancel != nullptr && box.clickedButton() == cancel ? kAnswerCancel : kAnswerOk;
}

QtWindowSystem::QtWindowSystem(MessageBoxAsker asker) {
  SetAsker(std::move(asker));
}

void QtWindowSystem::SetAsker(MessageBoxAsker asker) {
  asker_ = asker ? std::move(asker) : MessageBoxAsker(ShowMessageBox);
}

int QtWindowSystem::MsgBox(const std::string& text, int style, const std::string& title) {
  const int answer = asker_(main_window_.data(), text, style, title);
  // Anything but an explicit Cancel on a box that has one counts as OK.
  return answer == kAnswerCancel && StyleHasCancel(style) ? kAnswerCancel : kAnswerOk;
}

void QtWindowSystem::DoEvents() {
  QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void QtWindowSystem::SetMousePointer(int pointer) {
  if (!main_window_) return;
  if (pointer == kPointerHourglass) {
    main_window_->setCursor(Qt::WaitCursor);
  } else {
    main_window_->unsetCursor();
  }
}

void QtWindowSystem::Refresh(std::string_view control) {
  if (on_refresh) on_refresh(control);
}

}  // namespace qx::qt

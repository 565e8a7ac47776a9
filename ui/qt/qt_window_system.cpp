#include "ui/qt/qt_window_system.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCoreApplication>
#include <QCursor>
#include <QDialogButtonBox>
#include <QLabel>
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
  // The icon is a picture a screen reader cannot see: it gets a name, as
  // does the row of buttons.
  if (auto* buttons = box.findChild<QDialogButtonBox*>()) {
    buttons->setAccessibleName(QStringLiteral("Answers"));
  }
  static constexpr const char* kIconNames[] = {"", "Information", "Warning", "Error", "Question"};
  for (auto* label : box.findChildren<QLabel*>()) {
    if (!label->pixmap().isNull() && label->accessibleName().isEmpty()) {
      label->setAccessibleName(QString::fromLatin1(kIconNames[box.icon()]));
    }
  }
  box.exec();
  return cancel != nullptr && box.clickedButton() == cancel ? kAnswerCancel : kAnswerOk;
}

namespace {

bool IsUserInput(QEvent::Type type) {
  switch (type) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseMove:
    case QEvent::NonClientAreaMouseButtonPress:
    case QEvent::NonClientAreaMouseButtonRelease:
    case QEvent::NonClientAreaMouseButtonDblClick:
    case QEvent::Wheel:
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::ShortcutOverride:
    case QEvent::Shortcut:
    case QEvent::ContextMenu:
    case QEvent::InputMethod:
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TouchEnd:
    case QEvent::TouchCancel:
    case QEvent::TabletPress:
    case QEvent::TabletMove:
    case QEvent::TabletRelease:
    case QEvent::DragEnter:
    case QEvent::DragMove:
    case QEvent::Drop:
      return true;
    default:
      return false;
  }
}

}  // namespace

bool WaitInputFilter::eventFilter(QObject* receiver, QEvent* event) {
  if (!active_ || !IsUserInput(event->type())) return false;
  if (receiver->isWindowType()) return false;  // routed on to a widget, judged there
  auto* widget = qobject_cast<QWidget*>(receiver);
  if (widget == nullptr) return true;
  if (allowed_ && (widget == allowed_ || allowed_->isAncestorOf(widget))) return false;
  // A box opened during the wait must stay answerable.
  QWidget* modal = QApplication::activeModalWidget();
  return modal == nullptr || widget->window() != modal;
}

QtWindowSystem::QtWindowSystem(MessageBoxAsker asker)
    : asker_(asker ? std::move(asker) : MessageBoxAsker(ShowMessageBox)) {}

QtWindowSystem::~QtWindowSystem() {
  if (filter_installed_ && QCoreApplication::instance() != nullptr) {
    QCoreApplication::instance()->removeEventFilter(&filter_);
  }
}

int QtWindowSystem::MsgBox(const std::string& text, int style, const std::string& title) {
  const int answer = asker_(main_window_.data(), text, style, title);
  // Anything but an explicit Cancel on a box that has one counts as OK.
  return answer == kAnswerCancel && StyleHasCancel(style) ? kAnswerCancel : kAnswerOk;
}

void QtWindowSystem::DoEvents() {
  QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void QtWindowSystem::KeepAlive(const CommandWait& wait) {
  QCoreApplication* app = QCoreApplication::instance();
  if (app == nullptr) return;
  if (!filter_installed_) {
    app->installEventFilter(&filter_);
    filter_installed_ = true;
  }
  NotifyWait(wait);
  // Nested waits (none today) keep the outer one's filtering.
  const bool outer = filter_.Active();
  filter_.SetActive(true);
  QCoreApplication::processEvents(QEventLoop::AllEvents);
  filter_.SetActive(outer);
}

void QtWindowSystem::SetMousePointer(int pointer) {
  if (!main_window_) return;
  if (pointer == kPointerHourglass) {
    main_window_->setCursor(Qt::WaitCursor);
  } else {
    main_window_->unsetCursor();
  }
}

}  // namespace qx::qt

#include "ui/qt/debug_window.h"

#include <QHBoxLayout>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

#include "ui/debug_form.h"
#include "ui/qt/artwork.h"
#include "ui/qt/fonts.h"
#include "ui/qt/text.h"

namespace qx::qt {

namespace {

// Shows a model text in a one-line box; an unchanged text is left alone.
void RenderLine(QLineEdit* view, const std::string& text) {
  const QString line = OneLine(text);
  if (view->text() != line) view->setText(line);
}

}  // namespace

DebugWindow::DebugWindow(DebugForm& form, QWidget* parent)
    : QWidget(parent, Qt::Window), form_(form) {
  setObjectName(QStringLiteral("D_WIn"));
  setWindowTitle(FromModel(form_.Caption));
  setWindowIcon(AppIcon());
  setFont(UiFont());

  list_ = new QListWidget(this);
  list_->setObjectName(QStringLiteral("ASPI_Ret"));
  list_->setUniformItemSizes(true);
  list_->setFont(FixedPitchFont());
  list_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  text1_ = new QLineEdit(this);
  text1_->setObjectName(QStringLiteral("Text1"));
  text1_->setReadOnly(true);
  text2_ = new QLineEdit(this);
  text2_->setObjectName(QStringLiteral("Text2"));
  text2_->setReadOnly(true);

  auto* texts = new QHBoxLayout;
  texts->addWidget(text1_);
  texts->addWidget(text2_);
  auto dumpButton = [this, texts](const char* name, const char* caption,
                                  std::function<void()> DebugWindow::*action) {
    auto* button = new QPushButton(QString::fromLatin1(caption), this);
    button->setObjectName(QString::fromLatin1(name));
    connect(button, &QPushButton::clicked, this, [this, action] {
      if (this->*action) (this->*action)();
    });
    texts->addWidget(button);
  };
  dumpButton("DumpData", "DataBuf", &DebugWindow::on_dump_data);
  dumpButton("DumpImage", "ImageBuf", &DebugWindow::on_dump_image);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(list_, 1);
  layout->addLayout(texts);
  resize(620, 520);

  form_.on_line = [this](const std::string& line) { list_->addItem(FromModel(line)); };
  form_.on_clear = [this] { list_->clear(); };
  Render();
}

DebugWindow::~DebugWindow() {
  form_.on_line = nullptr;
  form_.on_clear = nullptr;
}

void DebugWindow::Render() {
  const auto& lines = form_.ASPI_Ret;
  const int count = static_cast<int>(lines.size());
  // The list only grows between clears; rebuild only when it does not match.
  bool prefix = list_->count() <= count;
  if (prefix && list_->count() > 0) {
    prefix = list_->item(list_->count() - 1)->text() == FromModel(lines[list_->count() - 1]);
  }
  if (!prefix) list_->clear();
  for (int i = list_->count(); i < count; ++i) list_->addItem(FromModel(lines[i]));
  RenderLine(text1_, form_.Text1);
  RenderLine(text2_, form_.Text2);
}

void DebugWindow::RefreshList() {
  Render();
  list_->repaint();
}

}  // namespace qx::qt

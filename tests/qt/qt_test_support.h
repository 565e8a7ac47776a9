// Shared pieces of the Qt view tests: a session on the simulated bus with a
// temporary settings file, scripted and real message-box answering, and a
// main() that selects the offscreen platform when none is set.
#pragma once

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <cstdlib>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "aspi/manager.h"
#include "transport/sim/sim_bus.h"
#include "ui/main_form.h"
#include "ui/qt/gui_session.h"

namespace qx::qt::testing {

// A caption as it reads, without the marker of its access key ("&Abort" reads
// "Abort"; "&&" reads "&").
inline QString Shown(const QString& caption) {
  QString out;
  for (qsizetype i = 0; i < caption.size(); ++i) {
    if (caption[i] == QLatin1Char('&') && i + 1 < caption.size()) ++i;
    out += caption[i];
  }
  return out;
}

inline std::string ReleasesDir() {
  return std::string(QX_SOURCE_DIR) + "/examples/releases";
}

// The built-in scenario with requests completing from the bus's worker thread
// after `delay_ms`.
inline std::string SlowScenario(int delay_ms) {
  std::string json(sim::SimBus::BuiltInScenarioJson());
  const std::string from = R"("completion": {"async": false, "delay_ms": 0})";
  const size_t at = json.find(from);
  if (at == std::string::npos) return {};
  json.replace(at, from.size(),
               R"("completion": {"async": true, "delay_ms": )" + std::to_string(delay_ms) + "}");
  return json;
}

struct Box {
  std::string text;
  int style = 0;
  std::string title;
};

// Answers boxes from a queue (OK when it is empty) and records them.
struct ScriptedAsker {
  std::vector<Box> boxes;
  std::deque<int> answers;
  MessageBoxAsker Asker() {
    return [this](QWidget*, const std::string& text, int style, const std::string& title) {
      boxes.push_back({text, style, title});
      if (answers.empty()) return kAnswerOk;
      const int answer = answers.front();
      answers.pop_front();
      return answer;
    };
  }
};

// What a real QMessageBox showed.
struct SeenDialog {
  QString title;
  QString text;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  int buttons = 0;
  bool has_cancel = false;
};

// Answers real modal message boxes as they open, in order: a standard button to
// click, or QMessageBox::Escape to press Escape. A box beyond the script is
// escaped and counted as unexpected, so a changed path fails instead of hanging.
class DialogAnswerer : public QObject {
 public:
  explicit DialogAnswerer(std::deque<int> presses) : presses_(std::move(presses)) {
    timer_.setInterval(10);
    connect(&timer_, &QTimer::timeout, this, [this] { Poll(); });
    timer_.start();
  }
  std::vector<SeenDialog> seen;
  int unexpected = 0;

 private:
  void Poll() {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    // Boxes live on the stack and may reuse an address: mark the answered one.
    if (box == nullptr || !box->isVisible() || box->property("qx_answered").toBool()) return;
    box->setProperty("qx_answered", true);
    SeenDialog d{box->windowTitle(), box->text(), box->icon(),
                 static_cast<int>(box->buttons().size()),
                 box->button(QMessageBox::Cancel) != nullptr};
    seen.push_back(d);
    int press = QMessageBox::Escape;
    if (presses_.empty()) {
      ++unexpected;
    } else {
      press = presses_.front();
      presses_.pop_front();
    }
    if (press == QMessageBox::Escape) {
      QTest::keyClick(box, Qt::Key_Escape);
    } else if (QAbstractButton* button = box->button(QMessageBox::StandardButton(press))) {
      QTest::mouseClick(button, Qt::LeftButton);
    } else {
      ++unexpected;
      QTest::keyClick(box, Qt::Key_Escape);
    }
  }
  std::deque<int> presses_;
  QTimer timer_;
};

// A GUI session on the built-in simulated bus (or the given scenario), listing
// the sample releases, with its settings in a temporary INI file and its
// download history in a temporary XDG_STATE_HOME.
class Rig {
 public:
  explicit Rig(const std::string& scenario_json = {}, bool trace = false) {
    ResetProcessState();
    qputenv("XDG_STATE_HOME", (dir.path() + "/state").toLocal8Bit());
    std::string error;
    bus = scenario_json.empty() ? sim::SimBus::BuiltIn()
                                : sim::SimBus::FromJsonText(scenario_json, &error);
    if (!bus) qFatal("scenario rejected: %s", error.c_str());
    InstallAspiManager(bus);
    options.transport_name = bus->Name();
    options.trace = trace;
    options.firmware_dir = ReleasesDir();
    options.settings_file = (dir.path() + "/settings.ini").toStdString();
  }
  ~Rig() {
    session.reset();
    InstallAspiManager(nullptr);
    ResetProcessState();
  }

  // Opens the window; `real_dialogs` keeps QMessageBox, else the asker answers.
  bool Open(bool real_dialogs = false) {
    session =
        std::make_unique<GuiSession>(options, real_dialogs ? MessageBoxAsker{} : asker.Asker());
    session->Show();
    return QTest::qWaitForWindowExposed(&session->Window());
  }
  // Closes the window the way the user does (its Unload handler runs).
  bool Close() {
    const bool closed = session->Window().close();
    if (closed) session.reset();
    return closed;
  }

  MainWindow& Window() { return session->Window(); }
  MainForm& Form() { return session->Form(); }
  template <class T>
  T* Find(const char* name) {
    return Window().findChild<T*>(QLatin1String(name));
  }
  QString IniPath() const { return QString::fromStdString(options.settings_file); }

  void Scan() { Find<QAction>("Scsi_Scan")->trigger(); }
  // Clicks the file's entry in File1. False if the list does not show it.
  bool ClickFile(const QString& name) {
    auto* list = Find<QListWidget>("File1");
    const auto items = list->findItems(name, Qt::MatchExactly);
    if (items.size() != 1) return false;
    list->scrollToItem(items.front());
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                      list->visualItemRect(items.front()).center());
    return true;
  }
  void ClickDownload() { QTest::mouseClick(Find<QPushButton>("Command1"), Qt::LeftButton); }

  // WRITE BUFFER commands the bus has received.
  int Writes() const {
    int n = 0;
    for (const auto& entry : bus->Log()) n += entry.opcode() == 0x3B ? 1 : 0;
    return n;
  }

  std::shared_ptr<sim::SimBus> bus;
  QTemporaryDir dir;
  GuiOptions options;
  ScriptedAsker asker;
  std::unique_ptr<GuiSession> session;
};

inline void PrepareEnvironment() {
  if (std::getenv("QT_QPA_PLATFORM") == nullptr || *std::getenv("QT_QPA_PLATFORM") == '\0') {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
  }
}

}  // namespace qx::qt::testing

#define QX_QTEST_MAIN(TestObject)          \
  int main(int argc, char** argv) {        \
    qx::qt::testing::PrepareEnvironment(); \
    QApplication app(argc, argv);          \
    TestObject tc;                         \
    return QTest::qExec(&tc, argc, argv);  \
  }

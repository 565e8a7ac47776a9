#include "app/cli_twin.h"

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <vector>

#include "app/cli_session.h"
#include "aspi/manager.h"
#include "download/release.h"
#include "platform/os.h"
#include "platform/version.h"

namespace qx::cli {

namespace {

namespace fs = std::filesystem;

// Whether `a` and `b` name one existing file.
bool SameFile(const fs::path& a, const fs::path& b) {
  std::error_code ec;
  return fs::equivalent(a, b, ec);
}

}  // namespace

TwinRecording::TwinRecording(Session& s) : s_(s) {
  if (s_.options().record.empty()) return;
  recorder_ = std::make_unique<sim::TwinRecorder>();
  InstallCommandRecorder(recorder_.get());
}

TwinRecording::~TwinRecording() {
  if (recorder_) InstallCommandRecorder(nullptr);
}

bool TwinRecording::Write(const std::string& device) {
  if (!recorder_) return true;
  InstallCommandRecorder(nullptr);
  const std::string& name = s_.options().record;
  const fs::path path = os::PathFromUtf8(name);
  // The files this job reads stay as they are.
  std::vector<fs::path> inputs;
  if (!s_.options().scenario.empty()) inputs.push_back(os::PathFromUtf8(s_.options().scenario));
  for (const std::string& arg : s_.options().args) {
    const fs::path release = os::PathFromUtf8(arg);
    inputs.push_back(release);
    if (auto image = ImageFileName(os::Utf8FromPath(release.filename()))) {
      inputs.push_back(release.parent_path() / os::PathFromUtf8(*image));
    }
  }
  for (const fs::path& input : inputs) {
    if (SameFile(path, input)) {
      s_.err() << "qxflash: --record " << QuotedArg(name)
               << " names a file this job reads; the twin is not written\n";
      return false;
    }
  }
  if (recorder_->Empty()) {
    s_.err() << "qxflash: no device answered; the twin " << QuotedArg(name) << " is not written\n";
    return false;
  }
  const auto manager = InstalledAspiManager();
  const std::string text =
      recorder_->ScenarioJson({.device = device,
                               .transport = manager ? manager->Name() : "",
                               .time = os::UtcNow(),
                               .program = std::string("qxflash ") + kProgramVersion});
  // Written beside the file and renamed over it, so that a failed write
  // leaves no half twin.
  fs::path temp = path;
  temp += ".part";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out << text;
    out.flush();
    if (!out) {
      s_.err() << "qxflash: cannot write the twin " << QuotedArg(name) << "\n";
      std::error_code ec;
      fs::remove(temp, ec);
      return false;
    }
  }
  std::error_code ec;
  fs::rename(temp, path, ec);
  if (ec) {
    s_.err() << "qxflash: cannot write the twin " << QuotedArg(name) << ": " << ec.message()
             << "\n";
    fs::remove(temp, ec);
    return false;
  }
  if (s_.reporter().json()) {
    s_.reporter().Json({{"event", "twin"}, {"file", name}, {"device", device}});
  } else {
    s_.reporter().Human("Twin written to " + name + " (replay it with --sim=" + name + ")");
  }
  return true;
}

}  // namespace qx::cli

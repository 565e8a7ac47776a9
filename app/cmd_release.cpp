// The commands that read a release without a drive: check and dump-image.
#include <nlohmann/json.hpp>
#include <utility>

#include "app/cli_session.h"
#include "download/firmware_tag.h"
#include "download/release.h"
#include "platform/os.h"
#include "ui/debug_form.h"

namespace qx::cli {

namespace {

// The release checks as the download makes them, with --model (default: the
// drive model) standing for the chosen drive. The message when one fails.
std::optional<std::string> CheckRelease(Session& s, const std::filesystem::path& file,
                                        Release& release) {
  std::filesystem::path dir = file.parent_path();
  if (dir.empty()) dir = ".";
  const std::string firmwareDir = JoinDir(os::Utf8FromPath(dir));
  const std::string name = os::Utf8FromPath(file.filename());
  ParameterFile pf;
  auto message = HeaderCheck(firmwareDir + name, s.options().model.value_or(kModel), pf);
  if (!message) message = ReleaseLoad(pf, firmwareDir, name, release);
  if (message) {
    if (s.reporter().json()) {
      s.reporter().Json({{"event", "check"}, {"ok", false}, {"message", *message}});
    } else {
      s.reporter().Human(name + ": " + *message);
    }
  }
  return message;
}

}  // namespace

int RunCheck(Session& s) {
  const auto file = s.ReleaseArgument();
  if (!file) return kExitUsage;
  Release release;
  if (CheckRelease(s, *file, release)) return kExitFailed;
  std::vector<int> blocks;
  for (size_t b : BlocksToSend(release)) blocks.push_back(static_cast<int>(b));
  const auto version = FindFirmwareVersion(ImageBuf);
  Reporter& r = s.reporter();
  if (r.json()) {
    r.Json({{"event", "check"},
            {"ok", true},
            {"blocks", blocks},
            {"area_flags", release.AreaFlag},
            {"checksum", ImageSum(ImageBuf)},
            {"firmware_version", version ? Latin1ToUtf8(*version) : ""}});
    return kExitOk;
  }
  std::string list;
  for (int b : blocks) list += (list.empty() ? "" : " ") + std::to_string(b);
  r.Human(os::Utf8FromPath(file->filename()) + ": release is valid for " +
          s.options().model.value_or(kModel));
  r.Human("  area flags " + std::to_string(release.AreaFlag[0]) + "," +
          std::to_string(release.AreaFlag[1]) + "," + std::to_string(release.AreaFlag[2]) +
          "; blocks sent: " + list);
  r.Human("  image checksum " + std::to_string(ImageSum(ImageBuf)));
  if (version) r.Human("  firmware version in the image: " + Latin1ToUtf8(*version));
  return kExitOk;
}

// The image as dump lines, through the debug window's dump of ImageBuf.
int RunDumpImage(Session& s) {
  const auto file = s.ReleaseArgument();
  if (!file) return kExitUsage;
  Release release;
  if (CheckRelease(s, *file, release)) return kExitFailed;
  auto traceSink =
      std::exchange(D_WIn.on_line, [&s](const std::string& line) { s.reporter().Data(line); });
  s.form().DumpImageBuffer();
  D_WIn.on_line = std::move(traceSink);
  return kExitOk;
}

}  // namespace qx::cli

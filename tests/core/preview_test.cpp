// The release summary shown when a file is chosen: what the checks of
// "Download Start" would find, with nothing sent and ImageBuf kept.
#include "download/preview.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "aspi/manager.h"
#include "download/release.h"
#include "tests/support/system.h"
#include "transport/sim/sim_bus.h"
#include "ui/main_form.h"

namespace qx {
namespace {

namespace fs = std::filesystem;

size_t OpenFds() {
  return test::OpenFiles();
}

TEST(ReleasePreview, TellsWhatTheDownloadWouldFindAndChangesNothing) {
  struct Row {
    const char* file;
    const char* entry;
    bool ok;
    bool checksum_matches;
    std::vector<size_t> blocks;
    std::string text;
  };
  const std::vector<size_t> all{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
  const std::vector<Row> rows = {
      {"QXR4410_ALL.OUB", "2:QX-R4410        ", true, true, all,
       "Areas 0, 1, 2: blocks 0-15 (16 of 16); checksum 33379006 matches; image version 1.20 "
       "2026/12/01"},
      {"QXR4410_A0.OUB",
       "2:QX-R4410        ",
       true,
       true,
       {0, 1},
       "Area 0: blocks 0-1 (2 of 16); checksum 33379006 matches; image version 1.20 2026/12/01"},
      {"BAD_CHECKSUM.OUB", "2:QX-R4410        ", false, false, all,
       "Download would stop: \"File CheckSum Error\" (file checksum 33379007, image sum "
       "33379006)"},
      {"BAD_NOAREA.OUB",
       "2:QX-R4410        ",
       false,
       true,
       {},
       "Download would stop: \"Program Error\""},
      {"BAD_MODEL.OUB",
       "2:QX-R4410        ",
       false,
       false,
       {},
       "Download would stop: \"Select 'QX-R4420'\""},
      {"QXR4410_ALL.OUB", "", false, false, {}, "Download would stop: \"Select 'QX-R4410'\""},
  };

  ResetProcessState();
  auto bus = sim::SimBus::BuiltIn();
  InstallAspiManager(bus);
  for (size_t i = 0; i < ImageBuf.size(); ++i) ImageBuf[i] = static_cast<uint8_t>(i * 7 + 3);
  const auto before = std::make_unique<std::array<uint8_t, kImageSize>>(ImageBuf);
  const size_t fds = OpenFds();
  const std::string dir = JoinDir(std::string(QX_SOURCE_DIR) + "/examples/releases");

  for (const Row& row : rows) {
    SCOPED_TRACE(row.file);
    const ReleasePreview p = PreviewRelease(dir, row.file, row.entry);
    EXPECT_EQ(p.ok, row.ok);
    EXPECT_EQ(p.checksum_matches, row.checksum_matches);
    EXPECT_EQ(p.blocks, row.blocks);
    EXPECT_EQ(PreviewText(p), row.text);
    EXPECT_TRUE(ImageBuf == *before) << "ImageBuf changed";
    EXPECT_EQ(OpenFds(), fds) << "a file was left open";
  }
  EXPECT_TRUE(bus->Log().empty()) << "the preview sent a command";
  InstallAspiManager(nullptr);
  ResetProcessState();
}

}  // namespace
}  // namespace qx

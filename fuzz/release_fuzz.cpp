// libFuzzer target: arbitrary bytes as a parameter file, through the header
// check and the release load, with a valid image beside it. Besides the
// sanitizers it checks the promises of the release checks: the parameter file
// is closed after every failure and after the load, a failed load leaves
// ImageBuf as it was or holding the complete image, and a passed load has a
// matching checksum and a consistent block-mode table.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include "download/release.h"
#include "tools/release_writer.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kComboText = "0 QX-R4410        1.20";
constexpr const char* kLabel4 = "FUZZ.OUB";
constexpr uint8_t kPoison = 0xA5;

fs::path g_dir;
std::vector<uint8_t> g_image;
uint64_t g_sum = 0;

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

void RemoveDir() {
  std::error_code ec;
  fs::remove_all(g_dir, ec);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_dir = fs::temp_directory_path() / ("qx_release_fuzz_" + std::to_string(getpid()));
  fs::create_directories(g_dir);
  std::atexit(RemoveDir);
  // The same image as the sample releases, so their checksums match and the
  // seed corpus reaches the image and block-mode steps.
  g_image = qx::tools::SyntheticImage(qx::tools::kDefaultFirmwareVersion);
  g_sum = qx::ImageSum(g_image);
  std::ofstream(g_dir / "FUZZ.bin", std::ios::binary)
      .write(reinterpret_cast<const char*>(g_image.data()),
             static_cast<std::streamsize>(g_image.size()));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  qx::ParameterFile file;
  std::optional<std::string> header;
  if (size % 8 == 0) {
    // Every eighth length goes through a real file, the rest through memory.
    std::string path = (g_dir / kLabel4).string();
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(text.data(), static_cast<std::streamsize>(text.size()));
    header = qx::HeaderCheck(path, kComboText, file);
  } else {
    file.OpenBuffer(text);
    header = qx::HeaderCheck(file, kComboText);
  }
  if (header) {
    Check(!file.IsOpen());
    Check(!header->empty());
    return 0;
  }
  Check(file.IsOpen());

  qx::ImageBuf.fill(kPoison);
  qx::Release release;
  auto load = qx::ReleaseLoad(file, qx::JoinDir(g_dir.string()), kLabel4, release);
  Check(!file.IsOpen());
  bool loaded = std::equal(g_image.begin(), g_image.end(), qx::ImageBuf.begin());
  if (!load) {
    Check(loaded);
    Check(release.ParamChecksum == static_cast<double>(g_sum));
    Check(qx::BlockModeSum(release.BlockMode) == qx::kBlockModeSumOk);
    auto blocks = qx::BlocksToSend(release);
    Check(!blocks.empty());
    for (size_t i = 0; i < blocks.size(); ++i) {
      uint8_t want = i + 1 == blocks.size() ? qx::kModeDownloadAndSave : qx::kModeDownload;
      Check(release.BlockMode[blocks[i]] == want);
    }
  } else {
    Check(!load->empty());
    Check(loaded || std::all_of(qx::ImageBuf.begin(), qx::ImageBuf.end(),
                                [](uint8_t b) { return b == kPoison; }));
  }
  return 0;
}

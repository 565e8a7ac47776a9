// Release load (header check, items 3-10, image read, checksum, block modes)
// of a 256 KiB image from a temporary directory, against a plain memcpy of
// 256 KiB as the yardstick. The image file stays in the page cache, so the
// figures measure our own work plus the system calls, not the disk.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <vector>

#include "download/release.h"
#include "tools/release_writer.h"

namespace {

namespace fs = std::filesystem;

class ReleaseDir {
 public:
  ReleaseDir() {
    dir_ = fs::temp_directory_path() / ("qx_release_bench_" + std::to_string(getpid()));
    fs::create_directories(dir_);
    auto image = qx::tools::SyntheticImage(qx::tools::kDefaultFirmwareVersion);
    std::string text = qx::tools::ParameterFileText({}, qx::ImageSum(image));
    std::ofstream(dir_ / "BENCH.OUB", std::ios::binary).write(text.data(), text.size());
    std::ofstream(dir_ / "BENCH.bin", std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()), image.size());
  }
  ~ReleaseDir() {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  std::string Dir() const { return qx::JoinDir(dir_.string()); }

 private:
  fs::path dir_;
};

void BM_ReleaseLoad(benchmark::State& state) {
  ReleaseDir dir;
  const std::string path = dir.Dir() + "BENCH.OUB";
  for (auto _ : state) {
    qx::ParameterFile file;
    qx::Release release;
    auto result = qx::HeaderCheck(path, "0 QX-R4410        1.20", file);
    if (!result) result = qx::ReleaseLoad(file, dir.Dir(), "BENCH.OUB", release);
    if (result) state.SkipWithError(result->c_str());
    benchmark::DoNotOptimize(release);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * qx::kImageSize));
}
BENCHMARK(BM_ReleaseLoad);

void BM_ImageSum(benchmark::State& state) {
  auto image = qx::tools::SyntheticImage(qx::tools::kDefaultFirmwareVersion);
  for (auto _ : state) benchmark::DoNotOptimize(qx::ImageSum(image));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * qx::kImageSize));
}
BENCHMARK(BM_ImageSum);

// Both buffers page-aligned: two buffers at the same small offset into their
// pages make the string-copy instruction of some processors several times
// slower, which would flatter the ratio.
void BM_Memcpy256K(benchmark::State& state) {
  struct alignas(4096) Buffer {
    uint8_t bytes[qx::kImageSize];
  };
  auto from = std::make_unique<Buffer>();
  auto to = std::make_unique<Buffer>();
  std::memset(from->bytes, 0x5A, qx::kImageSize);
  for (auto _ : state) {
    std::memcpy(to->bytes, from->bytes, qx::kImageSize);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * qx::kImageSize));
}
BENCHMARK(BM_Memcpy256K);

}  // namespace

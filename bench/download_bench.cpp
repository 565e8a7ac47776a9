// A full 16-block download on the simulated bus against the raw cost of its 16
// WRITE BUFFER transfers.
#include <benchmark/benchmark.h>

#include <algorithm>

#include "aspi/manager.h"
#include "aspi/transport_state.h"
#include "bench/direct_submit.h"
#include "download/release.h"
#include "tests/support/recording_window_system.h"
#include "transport/sim/sim_bus.h"
#include "ui/main_form.h"

namespace {

using namespace qx;

constexpr const char* kScenario =
    R"({"adapters": [{"ha": 0, "targets": [{"id": 2, "power_cycle_after_save": false,
        "reprogram_commands": 0, "inquiry": {"product": "QX-R4410"}}]}]})";

void BM_FullDownload(benchmark::State& state) {
  ResetProcessState();
  std::string error;
  auto bus = sim::SimBus::FromJsonText(kScenario, &error);
  InstallAspiManager(bus);
  RecordingWindowSystem ws;
  ScopedWindowSystem scoped(&ws);
  MemorySettingsStore settings;
  MainForm form(settings);
  form.Form_Load();
  form.Scsi_Scan_Click();
  form.FirmwareDir = std::string(QX_SOURCE_DIR) + "/examples/releases/";
  form.Label4.Caption = "QXR4410_ALL.OUB";
  for (auto _ : state) {
    form.Command1_Click();
    ws.boxes.clear();
    ws.events.clear();
    ws.pointers.clear();
    ws.refreshed.clear();
    bus->ClearLog();
  }
  InstallAspiManager(nullptr);
}
BENCHMARK(BM_FullDownload)->Unit(benchmark::kMillisecond);

// The 16 WRITE BUFFER requests alone, handed to the simulator directly.
void BM_RawTransfers(benchmark::State& state) {
  std::string error;
  auto bus = sim::SimBus::FromJsonText(kScenario, &error);
  std::vector<uint8_t> image(262144, 0x5A);
  for (auto _ : state) {
    for (uint8_t b = 0; b < 16; ++b) {
      std::copy_n(image.begin() + b * 16384, 16384, DataBuf.begin());
      const Cdb cdb{0x3B, static_cast<uint8_t>(b == 15 ? 5 : 4), b, 0, 0, 0, 0, 0x40, 0, 0};
      benchmark::DoNotOptimize(bench::SubmitDirect(*bus, cdb, 10, 16384));
    }
    bus->ClearLog();
  }
}
BENCHMARK(BM_RawTransfers)->Unit(benchmark::kMillisecond);

}  // namespace

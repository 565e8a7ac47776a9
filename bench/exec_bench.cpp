// Cost of the executor and of the trace, against the simulated bus.
#include <benchmark/benchmark.h>

#include "aspi/executor.h"
#include "aspi/manager.h"
#include "aspi/trace.h"
#include "ui/debug_form.h"
#include "bench/direct_submit.h"
#include "tests/support/recording_window_system.h"
#include "transport/sim/sim_bus.h"

namespace {

using namespace qx;

std::shared_ptr<sim::SimBus> Bus() {
  static auto bus = [] {
    std::string error;
    return sim::SimBus::FromJsonText(
        R"({"adapters": [{"ha": 0, "targets": [{"id": 2, "inquiry": {"product": "QX-R4410"}}]}]})",
        &error);
  }();
  return bus;
}

void Setup() {
  ResetTransportState();
  ResetDebugForm();
  InstallAspiManager(Bus());
  SelectedHaId = 0;
  SelectedTargetId = 2;
}

const Cdb kInquiry{0x12, 0, 0, 0, 0x3A, 0};

// The same INQUIRY handed to the simulator directly: block filled and submitted.
void BM_DirectSubmit(benchmark::State& state) {
  Setup();
  auto bus = Bus();
  for (auto _ : state) {
    benchmark::DoNotOptimize(bench::SubmitDirect(*bus, kInquiry, 6, 58));
    if (state.iterations() % 4096 == 0) bus->ClearLog();
  }
}
BENCHMARK(BM_DirectSubmit);

void BM_ExecScsiCmd(benchmark::State& state) {
  Setup();
  TraceOn = static_cast<float>(state.range(0));
  for (auto _ : state) {
    if (TraceOn == 1) ClearTraceList();
    benchmark::DoNotOptimize(ExecScsiCmd("Inquiry", 58, kInquiry, 6));
    if (state.iterations() % 4096 == 0) Bus()->ClearLog();
  }
  TraceOn = 0;
}
BENCHMARK(BM_ExecScsiCmd)->Arg(0)->ArgName("trace");
BENCHMARK(BM_ExecScsiCmd)->Arg(1)->ArgName("trace");

// One trace record with a data dump, alone.
void BM_TraceRecord(benchmark::State& state) {
  Setup();
  SRB_ExecSCSICmd srb{};
  srb.SRB_Cmd = 2;
  srb.SRB_Status = 1;
  for (auto _ : state) {
    ClearTraceList();
    WriteTraceRecord("Inquiry", 58, kInquiry, 6, 1, srb, DataBuf.data());
    benchmark::DoNotOptimize(D_WIn.ASPI_Ret.data());
  }
}
BENCHMARK(BM_TraceRecord);

}  // namespace

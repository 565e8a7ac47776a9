// Loading a simulator scenario with many fault rules: the time should grow in
// step with the rules (compare the figures for 1k, 8k and 64k rules).
#include <benchmark/benchmark.h>

#include <string>

#include "transport/sim/sim_bus.h"

namespace {

std::string ScenarioWithFaults(int64_t n) {
  std::string text = R"({"adapters": [{"ha": 0, "targets": [{"id": 2}]}], "faults": [)";
  for (int64_t i = 0; i < n; ++i) {
    text += (i ? "," : "") + std::string(R"({"opcode": "0x3B", "nth": )") +
            std::to_string(1000000 + i) + "}";
  }
  return text + "]}";
}

void BM_ScenarioFaults(benchmark::State& state) {
  const std::string text = ScenarioWithFaults(state.range(0));
  for (auto _ : state) {
    std::string error;
    auto bus = qx::sim::SimBus::FromJsonText(text, &error);
    benchmark::DoNotOptimize(bus);
  }
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_ScenarioFaults)->RangeMultiplier(8)->Range(1 << 10, 1 << 16)->Complexity();

}  // namespace

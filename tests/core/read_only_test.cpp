// The rehearsal's bus: only commands that read reach the drive.
#include "aspi/read_only.h"

#include <gtest/gtest.h>

#include "aspi/executor.h"
#include "aspi/status_codes.h"
#include "aspi/transport_state.h"
#include "commands/commands.h"
#include "download/write_buffer.h"
#include "tests/support/recording_window_system.h"
#include "transport/sim/sim_bus.h"
#include "ui/main_form.h"

namespace qx {
namespace {

// Each builder of the command set through the wrapper: what reaches the
// simulated drive, and what the caller is told.
TEST(ReadOnlyManager, LetsOnlyReadingCommandsReachTheDrive) {
  ResetProcessState();
  RecordingWindowSystem ws;
  ScopedWindowSystem scoped(&ws);
  auto bus = sim::SimBus::BuiltIn();
  auto guard = std::make_shared<ReadOnlyManager>(bus);
  InstallAspiManager(guard);
  SelectedHaId = 0;
  SelectedTargetId = 2;
  struct Case {
    const char* name;
    std::function<int16_t()> send;
    bool passes;
  };
  const Case cases[] = {
      {"INQUIRY", [] { return Inquiry(); }, true},
      {"TEST UNIT READY", [] { return TestUnitReady(); }, true},
      {"memory read", [] { return MemoryRead(0x7FE0, 0x7FE1, 0); }, true},
      {"READ BUFFER", [] { return ReadBuffer(); }, true},
      {"WRITE BUFFER", [] { return WriteBuffer(0, 16384, 4, 0); }, false},
      {"vendor output", [] { return DiOut(0xE3, 0x80); }, false},
      {"vendor input", [] { return DiIn(0x12, 0x34); }, false},
      {"STOP UNIT", [] { return StopUnit(); }, false},
      {"erase", [] { return LoopErase(0x1000, 0x1FFF); }, false},
  };
  for (const auto& c : cases) {
    const size_t before = bus->Log().size();
    const int16_t result = c.send();
    EXPECT_EQ(bus->Log().size() > before, c.passes) << c.name;
    if (!c.passes) {
      EXPECT_EQ(result, SS_SECURITY_VIOLATION) << c.name;
      EXPECT_NE(ErrMsg.find("access"), std::string::npos) << c.name << ": " << ErrMsg;
    }
  }
  const auto refused = guard->Refused();
  ASSERT_EQ(refused.size(), 5u);
  EXPECT_EQ(refused[0].rfind("3B 04 00", 0), 0u) << refused[0];
  EXPECT_EQ(refused[1].rfind("DF", 0), 0u) << refused[1];
  const uint8_t request_sense[6] = {0x03, 0, 0, 0, 18, 0};
  EXPECT_TRUE(ReadOnlyCommand(request_sense, 6));
  EXPECT_FALSE(ReadOnlyCommand(request_sense, 0));
  InstallAspiManager(nullptr);
  ResetProcessState();
}

}  // namespace
}  // namespace qx

// InhibitSleep and ReadPowerState against python3-dbusmock's logind and UPower
// on a private system bus. Each suite needs its own bus, set up by
// with_mock_bus.sh as ctest runs it (tests/guards/CMakeLists.txt):
//   MockLogind      run --logind           RefusingLogind  run --logind=refuse
//   StalledLogind   run --logind=stall     EmptyBus        run (no services)
//   MockUPower      run --upower           NoBus           (no harness)
// Suites meant for a mock bus skip themselves when run without one.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/power.h"

extern char** environ;

namespace {

using qx::os::InhibitSleep;
using qx::os::PowerState;
using qx::os::ReadPowerState;
using Clock = std::chrono::steady_clock;

constexpr char kWho[] = "qxflash";
constexpr char kWhy[] = "writing firmware to HA 0 ID 3";
constexpr char kWhat[] =
    "shutdown:sleep:idle:handle-lid-switch:handle-suspend-key:handle-hibernate-key:"
    "handle-power-key";

// The inhibitor as the mock lists it.
std::string InhibitorLine() {
  return std::string(kWhat) + "\t" + kWho + "\t" + kWhy + "\tblock\n";
}

std::string Unavailable(const std::string& reason) {
  return "the system's sleep and shutdown could not be held off (" + reason +
         "): keep the machine awake and on mains power yourself";
}

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// One query of the mock through the harness: its output and exit status.
struct Query {
  int status = -1;
  std::string out;
};
Query Harness(const std::string& args) {
  Query q;
  FILE* p = ::popen(("bash '" QX_MOCK_BUS_SCRIPT "' " + args).c_str(), "r");
  if (p == nullptr) return q;
  char buf[512];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) q.out.append(buf, n);
  const int status = ::pclose(p);
  q.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return q;
}

#define REQUIRE_MOCK_BUS()                       \
  if (std::getenv("QX_MOCK_BUS_DIR") == nullptr) \
  GTEST_SKIP() << "needs the private bus of tests/guards/with_mock_bus.sh"

struct Inhibit {
  std::unique_ptr<qx::os::SleepInhibitor> held;
  std::string unavailable = "(not set)";
  double seconds = 0;
};
Inhibit TimedInhibit() {
  Inhibit i;
  const Clock::time_point start = Clock::now();
  i.held = InhibitSleep(kWho, kWhy, &i.unavailable);
  i.seconds = SecondsSince(start);
  std::printf("InhibitSleep took %.3f s\n", i.seconds);
  return i;
}

struct Power {
  PowerState state;
  double seconds = 0;
};
Power TimedPower() {
  Power p;
  const Clock::time_point start = Clock::now();
  p.state = ReadPowerState();
  p.seconds = SecondsSince(start);
  std::printf("ReadPowerState took %.3f s\n", p.seconds);
  return p;
}

// ---------------------------------------------------------------------------

TEST(MockLogind, HeldWhileTheObjectLivesAndReleasedAfter) {
  REQUIRE_MOCK_BUS();
  Inhibit i = TimedInhibit();
  ASSERT_NE(i.held, nullptr) << i.unavailable;
  EXPECT_EQ(i.unavailable, "");
  EXPECT_LT(i.seconds, 1.0);
  // Asked once, for everything that could end a download, in block mode.
  EXPECT_EQ(Harness("inhibit-calls").out, InhibitorLine());
  EXPECT_EQ(Harness("inhibitors").out, InhibitorLine());
  i.held.reset();
  EXPECT_EQ(Harness("wait-inhibitors 0 3").status, 0) << "still held after the object is gone";
  EXPECT_EQ(Harness("inhibit-calls").out, InhibitorLine());
}

TEST(MockLogind, ChildProcessesDoNotKeepIt) {
  REQUIRE_MOCK_BUS();
  Inhibit i = TimedInhibit();
  ASSERT_NE(i.held, nullptr) << i.unavailable;
  ASSERT_EQ(Harness("wait-inhibitors 1 3").status, 0);
  // A program started while the inhibitor is held, still running after its release.
  pid_t child = -1;
  char sleep_arg0[] = "sleep", sleep_arg1[] = "30";
  char* argv[] = {sleep_arg0, sleep_arg1, nullptr};
  ASSERT_EQ(::posix_spawnp(&child, "sleep", nullptr, nullptr, argv, environ), 0);
  i.held.reset();
  const Query released = Harness("wait-inhibitors 0 3");
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  EXPECT_EQ(released.status, 0) << "the child process kept the inhibitor";
}

TEST(MockLogind, BytesThatAreNotUtf8) {
  REQUIRE_MOCK_BUS();
  // A drive's name is its own bytes (here Latin-1 and a stray 0xFF); the bus
  // takes UTF-8 only.
  std::string unavailable;
  auto held = InhibitSleep(kWho, "writing firmware to QX-R4410 \xE9\xFF \xC3\xA9", &unavailable);
  ASSERT_NE(held, nullptr) << unavailable;
  EXPECT_EQ(Harness("inhibitors").out,
            std::string(kWhat) + "\t" + kWho +
                "\twriting firmware to QX-R4410 \xEF\xBF\xBD\xEF\xBF\xBD "
                "\xC3\xA9\tblock\n");
}

TEST(RefusingLogind, NullWithTheReason) {
  REQUIRE_MOCK_BUS();
  Inhibit i = TimedInhibit();
  EXPECT_EQ(i.held, nullptr);
  EXPECT_EQ(i.unavailable, Unavailable("logind refused: Permission denied"));
  EXPECT_LT(i.seconds, 1.0);
  EXPECT_EQ(Harness("inhibitors").out, "");
}

TEST(StalledLogind, GivesUpAfterTwoSeconds) {
  REQUIRE_MOCK_BUS();
  Inhibit i = TimedInhibit();
  EXPECT_EQ(i.held, nullptr);
  EXPECT_EQ(i.unavailable, Unavailable("logind did not answer within 2 s"));
  EXPECT_GT(i.seconds, 1.8);
  EXPECT_LT(i.seconds, 3.0);
}

TEST(EmptyBus, NoLogind) {
  REQUIRE_MOCK_BUS();
  Inhibit i = TimedInhibit();
  EXPECT_EQ(i.held, nullptr);
  EXPECT_EQ(i.unavailable, Unavailable("no logind on the system bus"));
  EXPECT_LT(i.seconds, 1.0);
}

TEST(EmptyBus, NoUPower) {
  REQUIRE_MOCK_BUS();
  Power p = TimedPower();
  EXPECT_FALSE(p.state.known);
  EXPECT_FALSE(p.state.on_battery);
  EXPECT_EQ(p.state.percent, -1);
  EXPECT_EQ(p.state.unknown_why, "no UPower on the system bus");
  EXPECT_LT(p.seconds, 1.0);
}

// An answer that is not true or false is no answer: unknown, and why.
TEST(MockUPower, AnAnswerOfTheWrongTypeIsUnknown) {
  REQUIRE_MOCK_BUS();
  struct Row {
    const char* mock;
    bool known;
    const char* why;
  };
  const Row rows[] = {
      {"wrong-type", false,
       "UPower answered OnBattery with a value of type 's', not true or false"},
      {"battery:64", true, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.mock);
    ASSERT_EQ(Harness(std::string("power ") + row.mock).status, 0);
    const PowerState state = TimedPower().state;
    EXPECT_EQ(state.known, row.known);
    EXPECT_EQ(state.unknown_why, row.why);
  }
}

TEST(MockUPower, ReportsWhatUPowerSays) {
  REQUIRE_MOCK_BUS();
  struct Row {
    const char* mock;  // the harness's power state
    PowerState expected;
  };
  const Row rows[] = {
      {"ac", {true, false, -1}},          {"ac:80", {true, false, 80}},
      {"battery:22", {true, true, 22}},   {"battery:64", {true, true, 64}},
      {"battery:29.6", {true, true, 29}},  // rounded down: not yet 30 %
      {"battery:100", {true, true, 100}}, {"battery:0", {true, true, 0}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.mock);
    ASSERT_EQ(Harness(std::string("power ") + row.mock).status, 0);
    Power p = TimedPower();
    EXPECT_EQ(p.state.known, row.expected.known);
    EXPECT_EQ(p.state.on_battery, row.expected.on_battery);
    EXPECT_EQ(p.state.percent, row.expected.percent);
    EXPECT_LT(p.seconds, 1.0);
  }
}

// ---------------------------------------------------------------------------
// Without the harness: no bus at all, and a bus that never answers.

class NoBus : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/qx-no-bus.XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    if (listener_ >= 0) ::close(listener_);
    ::unlink((dir_ + "/socket").c_str());
    ::rmdir(dir_.c_str());
    ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
  }
  void PointAtMissingSocket() {
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + dir_ + "/socket").c_str(), 1);
  }
  // A socket that takes connections and never says a word.
  void PointAtSilentSocket() {
    listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener_, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string path = dir_ + "/socket";
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(listener_, 8), 0);
    PointAtMissingSocket();
  }
  std::string dir_;
  int listener_ = -1;
};

TEST_F(NoBus, InhibitorWithoutASystemBus) {
  PointAtMissingSocket();
  Inhibit i = TimedInhibit();
  EXPECT_EQ(i.held, nullptr);
  EXPECT_EQ(i.unavailable, Unavailable("no system bus"));
  EXPECT_LT(i.seconds, 1.0);
}

TEST_F(NoBus, InhibitorFromABusThatNeverAnswers) {
  PointAtSilentSocket();
  Inhibit i = TimedInhibit();
  EXPECT_EQ(i.held, nullptr);
  EXPECT_EQ(i.unavailable, Unavailable("the system bus did not answer within 2 s"));
  EXPECT_GT(i.seconds, 1.8);
  EXPECT_LT(i.seconds, 3.0);
}

TEST_F(NoBus, PowerWithoutASystemBus) {
  PointAtMissingSocket();
  Power p = TimedPower();
  EXPECT_FALSE(p.state.known);
  EXPECT_LT(p.seconds, 1.0);
}

TEST_F(NoBus, PowerFromABusThatNeverAnswers) {
  PointAtSilentSocket();
  Power p = TimedPower();
  EXPECT_FALSE(p.state.known);
  EXPECT_LT(p.seconds, 3.0);
}

TEST_F(NoBus, UnavailableMayBeLeftOut) {
  PointAtMissingSocket();
  EXPECT_EQ(InhibitSleep(kWho, kWhy, nullptr), nullptr);
}

}  // namespace

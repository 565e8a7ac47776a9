// The download history: records, damaged lines, the check after a power
// cycle, and what the command line does with them.
#include "history/history.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>

#include "app/cli.h"
#include "aspi/manager.h"
#include "platform/os.h"
#include "tests/support/system.h"
#include "ui/main_form.h"

namespace qx {
namespace {

namespace fs = std::filesystem;
const std::string kReleases = std::string(QX_SOURCE_DIR) + "/examples/releases/";

// A state directory of its own for each test.
class HistoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() / ("qxflash-history-" + std::to_string(test::ProcessId()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    test::SetStateHome(dir);
    path = history::DefaultPath();
  }
  void TearDown() override {
    test::UnsetStateHome();
    fs::remove_all(dir);
  }
  int Cli(std::vector<std::string> args) {
    ResetProcessState();
    std::string error;
    auto options = cli::Parse(args, &error);
    EXPECT_TRUE(options) << error;
    InstallAspiManager(cli::MakeTransport(*options, &error));
    std::ostringstream o, e;
    const int rc = cli::RunCommand(*options, o, e);
    InstallAspiManager(nullptr);
    out = o.str();
    err = e.str();
    return rc;
  }
  size_t Lines() {
    std::ifstream in(os::PathFromUtf8(path));
    return static_cast<size_t>(std::count(std::istreambuf_iterator<char>(in), {}, '\n'));
  }

  fs::path dir;
  std::string path, out, err;
};

history::Record Download(DownloadEnd end, const std::string& before) {
  history::Record r;
  r.time = "2026-12-08T10:00:00Z";
  r.drive = {.transport = "simulated bus", .ha = 2, .target = 4, .product = "QX-R4410        "};
  r.version_before = before;
  r.release = "QXR4410_ALL.OUB";
  r.end = end;
  return r;
}

TEST_F(HistoryTest, RecordsSurviveATornLastLine) {
  std::string error;
  ASSERT_TRUE(history::Append(path, Download(DownloadEnd::kDone, " 1.10 (2003/05/12)"), &error))
      << error;
  ASSERT_TRUE(history::Append(path, Download(DownloadEnd::kAborted, " 1.10 (2003/05/12)"), &error));
  std::ofstream(os::PathFromUtf8(path), std::ios::app) << R"({"kind":"download","time":"2026-)";
  const auto contents = history::Read(path);
  ASSERT_EQ(contents.records.size(), 2u);
  EXPECT_EQ(contents.records[1].end, DownloadEnd::kAborted);
  EXPECT_EQ(contents.records[0].drive.product, "QX-R4410        ");
  ASSERT_EQ(contents.warnings.size(), 1u);
  EXPECT_EQ(contents.warnings[0], "history line 3 is damaged; skipped");
  EXPECT_TRUE(history::Read(os::Utf8FromPath(dir / "none")).records.empty());
}

TEST_F(HistoryTest, VerificationAfterTheDownload) {
  const std::string before = " 1.10 (2003/05/12) ", after = " 1.20 (2026/12/01) ";
  auto verified = [&](std::string caption, bool changed) {
    auto v = Download(DownloadEnd::kDone, before);
    v.kind = history::RecordKind::kVerify;
    v.version_now = caption;
    v.changed = changed;
    return v;
  };
  auto other = Download(DownloadEnd::kDone, before);
  other.drive.target = 1;
  struct Case {
    const char* name;
    std::vector<history::Record> records;
    std::string now;
    std::optional<std::string> text;  // nullopt: nothing to say
  };
  const Case cases[] = {
      {"no download", {}, after, std::nullopt},
      {"another drive", {other}, after, std::nullopt},
      {"aborted", {Download(DownloadEnd::kAborted, before)}, after, std::nullopt},
      {"changed",
       {Download(DownloadEnd::kDone, before)},
       after,
       "firmware now 1.20 (2026/12/01), was 1.10 (2003/05/12) before QXR4410_ALL.OUB on "
       "2026-12-08"},
      {"unchanged",
       {Download(DownloadEnd::kDone, before)},
       before,
       "unchanged since the download: switch the drive off and on to start the new firmware"},
      {"unchanged said",
       {Download(DownloadEnd::kDone, before), verified(before, false)},
       before,
       std::nullopt},
      {"changed after unchanged",
       {Download(DownloadEnd::kDone, before), verified(before, false)},
       after,
       "firmware now 1.20 (2026/12/01), was 1.10 (2003/05/12) before QXR4410_ALL.OUB on "
       "2026-12-08"},
      {"changed said",
       {Download(DownloadEnd::kDone, before), verified(after, true)},
       after,
       std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto v = history::Verify(c.records, Download(DownloadEnd::kDone, "").drive, c.now);
    ASSERT_EQ(v.has_value(), c.text.has_value());
    if (v) {
      EXPECT_EQ(history::VerifyText(*v, c.records), *c.text);
    }
  }
}

TEST_F(HistoryTest, CommandLineRecordsAndVerifies) {
  const std::string all = kReleases + "QXR4410_ALL.OUB";
  EXPECT_EQ(Cli({"download", all, "--ha", "2", "--id", "4", "--no"}), 1);
  EXPECT_EQ(Lines(), 0u);  // Cancel at the confirmation: no attempt
  EXPECT_EQ(Cli({"--no-history", "download", all, "--ha", "2", "--id", "4", "--yes"}), 0);
  EXPECT_EQ(Lines(), 0u);
  EXPECT_EQ(Cli({"download", all, "--ha", "2", "--id", "4", "--yes"}), 0);
  EXPECT_EQ(Lines(), 2u);  // the attempt's start, then its outcome

  // A second process after the power cycle: the drive reports the image's version.
  const auto scenario = dir / "after.json";
  std::ofstream(scenario) << R"({"adapters": [{"ha": 2, "targets": [{"id": 4, "inquiry":
      {"vendor": "AMBERVLT", "product": "QX-R4410", "revision": "1.20",
       "vendor_specific": " 2026/12/01"}}]}]})";
  EXPECT_EQ(Cli({"--json", "--sim=" + os::Utf8FromPath(scenario), "scan"}), 0);
  EXPECT_NE(out.find(R"({"changed":true,"event":"verify","ha":2,"id":4,"text":"firmware now )"
                     R"(1.20 (2026/12/01), was 1.10 (2003/05/12) before QXR4410_ALL.OUB on )"),
            std::string::npos)
      << out;
  EXPECT_EQ(Lines(), 3u);
  EXPECT_EQ(Cli({"--sim=" + os::Utf8FromPath(scenario), "scan"}), 0);
  EXPECT_EQ(out.find("firmware now"), std::string::npos);  // said once
  EXPECT_EQ(Cli({"history"}), 0);
  EXPECT_NE(out.find("QXR4410_ALL.OUB  done 16/16 blocks"), std::string::npos) << out;

  // A state directory that cannot be written only warns.
  fs::remove_all(dir / "qxflash");
  std::ofstream(dir / "qxflash") << "a file where the directory should be";
  EXPECT_EQ(Cli({"download", all, "--ha", "2", "--id", "4", "--yes"}), 0);
  EXPECT_NE(err.find("qxflash: warning: cannot open the history"), std::string::npos) << err;
}

// Whatever stands where the history should be, reading and appending end at
// once with one clear line, and a torn last line never swallows a record.
TEST_F(HistoryTest, OnlyARegularFileIsAHistory) {
  struct Case {
    const char* name;
    std::function<bool(const fs::path&)> make;  // false: not to be had on this system
    const char* read_warning;    // empty: read without a warning
    const char* append_warning;  // empty: the record is appended
  };
  const Case cases[] = {
      {"fifo", [](const fs::path& p) { return test::MakeFifo(p); }, "is not a regular file",
       "is not a regular file"},
      {"device", [](const fs::path& p) { return test::LinkToDevice(p); }, "is not a regular file",
       "is not a regular file"},
      {"directory", [](const fs::path& p) { return fs::create_directories(p); },
       "is not a regular file", "cannot open the history"},
      {"symlink loop",
       [](const fs::path& p) {
         std::error_code ec;
         fs::create_symlink(p, p, ec);
         return !ec;
       },
       "cannot read the history", "cannot open the history"},
      {"torn last line",
       [](const fs::path& p) {
         return static_cast<bool>(std::ofstream(p) << R"({"kind":"download","time":"2026-)");
       },
       "history line 1 is damaged", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(dir / "qxflash");
    fs::create_directories(dir / "qxflash");
    if (!c.make(path)) continue;
    const auto contents = history::Read(path);
    ASSERT_EQ(contents.warnings.size(), 1u);
    EXPECT_NE(contents.warnings[0].find(c.read_warning), std::string::npos) << contents.warnings[0];
    std::string error;
    const bool appended = history::Append(path, Download(DownloadEnd::kDone, " 1.10"), &error);
    EXPECT_EQ(appended, std::string(c.append_warning).empty()) << error;
    if (!appended) {
      EXPECT_NE(error.find(c.append_warning), std::string::npos) << error;
    } else {
      EXPECT_EQ(history::Read(path).records.size(), 1u);  // on a line of its own
    }
  }
}

// Records whose values cannot be right are damaged, not believed; many
// damaged lines are said once.
TEST_F(HistoryTest, ValuesThatCannotBeRightMakeARecordDamaged) {
  const std::string good = history::ToJson(Download(DownloadEnd::kDone, " 1.10")).dump();
  auto with = [&](const std::string& key, const nlohmann::json& value) {
    auto j = nlohmann::json::parse(good);
    j[key] = value;
    return j.dump();
  };
  const std::string lines[] = {
      good,  // line 1: kept
      with("ha", 8),
      with("target", -1),
      with("ha", 1.5),
      with("time", ""),
      with("version_before", ""),
      with("blocks_sent", 17),
      with("outcome", "won"),
      with("time", "yesterday"),
  };
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream file(path);
  for (const auto& l : lines) file << l << "\n";
  file.close();
  const auto contents = history::Read(path);
  EXPECT_EQ(contents.records.size(), 1u);
  ASSERT_EQ(contents.warnings.size(), 1u);
  EXPECT_EQ(contents.warnings[0],
            "history lines 2, 3, 4, 5, 6 and 3 more are damaged (8 in all); skipped");
}

// A download that never reported its end (killed, power cut) is shown as
// interrupted, by the listing and after every scan, until another ends.
TEST_F(HistoryTest, AnAttemptWithoutItsEndIsInterrupted) {
  auto start = Download(DownloadEnd::kDone, " 1.10 (2003/05/12)");
  start.kind = history::RecordKind::kStart;
  start.attempt = "a1";
  start.blocks_planned = 16;
  std::string error;
  ASSERT_TRUE(history::Append(path, start, &error)) << error;
  const auto contents = history::Read(path);
  const auto entries = history::Listing(contents.records);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_TRUE(entries[0].interrupted);
  EXPECT_EQ(history::Describe(entries[0], contents.records).outcome, "interrupted");

  EXPECT_EQ(Cli({"history"}), 0);
  EXPECT_NE(out.find("QXR4410_ALL.OUB  interrupted ?/16 blocks: the download of QXR4410_ALL.OUB"),
            std::string::npos)
      << out;
  for (int scan = 0; scan < 2; ++scan) {
    EXPECT_EQ(Cli({"scan"}), 0);
    EXPECT_NE(out.find("Target 2:4:QX-R4410: the download of QXR4410_ALL.OUB on 2026-12-08 never "
                       "reported its end"),
              std::string::npos)
        << out;
  }
  // Another attempt that ends puts it to rest.
  EXPECT_EQ(Cli({"download", kReleases + "QXR4410_A0.OUB", "--ha", "2", "--id", "4", "--yes"}), 0);
  EXPECT_EQ(Cli({"scan"}), 0);
  EXPECT_EQ(out.find("never reported its end"), std::string::npos) << out;
}

// A start without its end is in progress while its process holds the
// attempt's lock, and interrupted once nobody does (killed: the lock went
// with the process; an older file: there never was one).
TEST_F(HistoryTest, AnAttemptInProgressIsToldFromAKilledOne) {
  enum class Lock { kHeld, kLeftByTheKilled, kNone };
  struct Case {
    const char* name;
    Lock lock;
    std::string outcome, scan;  // the listing's word, the scan's line
  };
  const std::string pid = std::to_string(os::ProcessId());
  const Case cases[] = {
      {"held", Lock::kHeld, "in progress (process " + pid + ")",
       "QXR4410_ALL.OUB on 2026-12-08 is in progress (process " + pid + ")"},
      {"left by a killed process", Lock::kLeftByTheKilled, "interrupted", "never reported its end"},
      {"none", Lock::kNone, "interrupted", "never reported its end"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(dir / "qxflash");
    auto start = Download(DownloadEnd::kDone, " 1.10 (2003/05/12)");
    start.kind = history::RecordKind::kStart;
    start.attempt = "0123456789abcdef";
    start.blocks_planned = 16;
    start.pid = os::ProcessId();
    std::string error;
    ASSERT_TRUE(history::Append(path, start, &error)) << error;
    const std::string lock_path = history::AttemptLockPath(path, start.attempt);
    std::unique_ptr<os::HeldLock> lock;
    if (c.lock == Lock::kHeld) lock = os::HoldLock(lock_path, &error);
    if (c.lock == Lock::kLeftByTheKilled) std::ofstream(os::PathFromUtf8(lock_path)) << "";
    EXPECT_EQ(os::LockHeld(lock_path), c.lock == Lock::kHeld);

    const auto contents = history::Read(path);
    const auto entries = history::Listing(contents.records);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].in_progress, c.lock == Lock::kHeld);
    EXPECT_EQ(entries[0].interrupted, c.lock != Lock::kHeld);
    EXPECT_EQ(history::Describe(entries[0], contents.records).outcome, c.outcome);
    EXPECT_EQ(Cli({"scan"}), 0);
    EXPECT_NE(out.find(c.scan), std::string::npos) << out;
  }
  EXPECT_FALSE(os::LockHeld(history::AttemptLockPath(path, "0123456789abcdef")));
}

// Records that cannot be right are skipped with a warning, never listed.
TEST_F(HistoryTest, RecordsThatCannotBeRightAreSkipped) {
  auto start = Download(DownloadEnd::kDone, " 1.10");
  start.kind = history::RecordKind::kStart;
  start.blocks_planned = 16;
  const std::string good_start = history::ToJson(start).dump();
  const std::string good_end = history::ToJson(Download(DownloadEnd::kLoadFailed, " 1.10")).dump();
  auto with = [](const std::string& line, const std::string& key, const nlohmann::json& value) {
    auto j = nlohmann::json::parse(line);
    j[key] = value;
    return j.dump();
  };
  struct Case {
    std::string line;
    bool kept;
  };
  const Case cases[] = {
      {good_start, true},
      {with(good_start, "blocks_planned", 0), false},
      {good_end, true},  // a release that failed to load planned no block
      {with(good_start, "pid", 4711), true},
      {with(good_start, "pid", 0), false},
      {with(good_start, "pid", "4711"), false},
      {with(good_start, "time", "2026-13-08T10:00:00Z"), false},
      {with(good_start, "time", "2026-00-08T10:00:00Z"), false},
      {with(good_start, "time", "2026-04-31T10:00:00Z"), false},
      {with(good_start, "time", "2026-02-29T10:00:00Z"), false},
      {with(good_start, "time", "2028-02-29T10:00:00Z"), true},
      {with(good_start, "time", "2026-12-08T24:00:00Z"), false},
      {with(good_start, "time", "2026-12-08T23:60:00Z"), false},
      {with(good_start, "time", "2026-12-08T23:59:59Z"), true},
  };
  fs::create_directories(fs::path(path).parent_path());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    std::ofstream(path) << c.line << "\n";
    const auto contents = history::Read(path);
    EXPECT_EQ(contents.records.size(), c.kept ? 1u : 0u);
    EXPECT_EQ(contents.warnings.size(), c.kept ? 0u : 1u);
  }
}

// A file where the state folder should be: the history says why nothing can
// be recorded, rather than only that nothing is.
TEST_F(HistoryTest, AFileInPlaceOfTheStateFolderIsNamed) {
  for (const fs::path& blocker : {dir / "qxflash", dir}) {
    SCOPED_TRACE(blocker.string());
    fs::remove_all(dir);
    fs::create_directories(blocker.parent_path());
    std::ofstream(blocker) << "a file";
    EXPECT_EQ(Cli({"history"}), 0);
    EXPECT_NE(err.find(os::Utf8FromPath(blocker) + " is a file, not a folder; nothing can be "
                                                   "recorded"),
              std::string::npos)
        << err;
  }
  fs::remove_all(dir);
  fs::create_directories(dir);
}

TEST_F(HistoryTest, WithoutAStateDirectoryTheDownloadSaysItIsNotRecorded) {
  if (!test::ForgetStateDirectory()) GTEST_SKIP() << "this system always has a state directory";
  EXPECT_EQ(Cli({"download", kReleases + "QXR4410_A0.OUB", "--ha", "2", "--id", "4", "--yes"}), 0);
  EXPECT_NE(err.find("no place for the download history (" + os::NoStateDirectoryReason() +
                     "); this download is not recorded"),
            std::string::npos)
      << err;
  EXPECT_EQ(Cli({"history"}), 1);
  EXPECT_NE(err.find("no place for the download history"), std::string::npos) << err;
  test::RestoreStateDirectory();
}

}  // namespace
}  // namespace qx

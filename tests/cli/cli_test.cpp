// The command line in-process: parsing, usage errors, exit codes and output.
#include "app/cli.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/cli_output.h"
#include "app/cli_transport.h"
#include "aspi/manager.h"
#include "platform/os.h"
#include "transport/sim/sim_bus.h"
#include "ui/main_form.h"

namespace qx::cli {
namespace {

const std::string kReleases = std::string(QX_SOURCE_DIR) + "/examples/releases/";

struct Result {
  int rc = -1;
  std::string out, err;
};

// Parses `args` as the program would and runs the command on its transport.
Result Cli(const std::vector<std::string>& args) {
  ResetProcessState();
  Result r;
  std::string error;
  auto options = Parse(args, &error);
  if (options) options->no_history = true;  // the history has its own tests
  if (!options) {
    r.rc = kExitUsage;
    r.err = error;
    return r;
  }
  auto transport = MakeTransport(*options, &error);
  if (!transport) {
    r.rc = kExitUsage;
    r.err = error;
    return r;
  }
  InstallAspiManager(transport);
  std::ostringstream o, e;
  r.rc = RunCommand(*options, o, e);
  InstallAspiManager(nullptr);
  r.out = o.str();
  r.err = e.str();
  return r;
}

TEST(CliParse, UsageErrorsNameTheProblem) {
  const std::string drives = DrivesAlias();  // the system's own name: --sg, --spti
  struct Case {
    std::vector<std::string> args;
    std::string error;  // empty: parses
  };
  const Case cases[] = {
      {{"--bogus"}, "unknown option '--bogus'"},
      {{"frobnicate"}, "unknown command 'frobnicate'"},
      {{"version", "--ha", "9", "--id", "1"}, "--ha needs a number from 0 to 7"},
      {{"scan", "--ha"}, "--ha needs N"},
      {{"--timeout", "-3", "scan"}, "--timeout needs a number of seconds"},
      {{"--timeout", "0.0001", "scan"}, "--timeout needs a number of seconds"},
      {{"--yes", "--no", "download", "x.OUB"}, "--yes and --no cannot be used together"},
      {{"--sim", drives, "scan"}, "--sim and " + drives + " cannot be used together"},
      {{drives, "--sim=x.json", "scan"}, "--sim and " + drives + " cannot be used together"},
      {{"--sim=", "scan"}, "--sim= needs a scenario file name"},
      {{"--json=1", "scan"}, "--json takes no value"},
      {{"scan", "extra"}, "'scan' takes no argument 'extra'"},
      {{"unknown\x1b[2J"}, "unknown command 'unknown\\x1B[2J'"},
      // Each command takes only its own options; -- ends the options.
      {{"--sim", "scan", "--model", "X"}, "'scan' takes no option --model"},
      {{"--sim", "version", "--ha", "0", "--id", "2", "--yes"}, "'version' takes no option --yes"},
      {{"history", "--trace"}, "'history' takes no option --trace"},
      {{"--json"}, "--json needs a command"},
      {{"check", "-R.OUB"},
       "unknown option '-R.OUB'; a file whose name starts with '-' is written"},
      {{"check", "--", "-R.OUB"}, ""},
      {{"--sim", "check", "R.OUB", "--model", "QX"}, ""},
      {{"--ha=0x2", "--id", "3", "version"}, ""},
      {{"-h"}, ""},
      {{"send", "MemoryRead", "-1", "2", "0", "--ha", "0", "--id", "2"}, ""},
      // A release named instead of a command opens the window with it.
      {{"--sim", "/elsewhere/R.oub"}, ""},
      {{"/elsewhere/R.OUB", "more"}, "'' takes no argument 'more'"},
      {{"R.txt"}, "unknown command 'R.txt'"},
      {{"download", "R.OUB", "--ha", "0", "--id", "2", "--record", "t.json"},
       "--record goes with --dry-run"},
      {{"version", "--ha", "0", "--id", "2", "--dry-run"}, "'version' takes no option --dry-run"},
      {{"scan", "--record", "t.json"}, ""},
      // Without a command, one release opens in the window, and the window
      // takes the drive to choose.
      {{"C:\\Rel\\R.OUB"}, ""},
      {{"--drives", "R.oub", "--ha", "1", "--id", "2"}, ""},
      {{"--dir", "x", "--ha", "0"}, ""},
      {{"notes.txt"}, "unknown command 'notes.txt'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0]);
    std::string error;
    auto options = Parse(c.args, &error);
    EXPECT_EQ(options.has_value(), c.error.empty()) << error;
    if (!c.error.empty()) {
      EXPECT_EQ(error.substr(0, c.error.size()), c.error);
    }
  }
}

// An option given twice must ask for the same both times; a script with
// two different targets in it has a mistake the download must not guess at.
TEST(CliParse, TheWindowsReleaseAndDrive) {
  std::string error;
  const auto options = Parse({"--drives", "C:\\Rel\\R.OUB", "--ha", "1", "--id", "2"}, &error);
  ASSERT_TRUE(options) << error;
  EXPECT_EQ(options->command, "");
  EXPECT_EQ(options->args, std::vector<std::string>{"C:\\Rel\\R.OUB"});
  EXPECT_EQ(options->ha, 1);
  EXPECT_EQ(options->id, 2);
}

TEST(CliParse, AnOptionGivenTwiceMustAgree) {
  const std::string r = kReleases + "QXR4410_ALL.OUB";
  struct Case {
    std::vector<std::string> args;
    std::string error;  // empty: parses
  };
  const Case cases[] = {
      {{"download", r, "--ha", "0", "--id", "5", "--id", "2", "--yes"},
       "--id is given twice with different values (--id 5, then --id 2)"},
      {{"download", r, "--ha", "1", "--ha=0", "--id", "2", "--yes"},
       "--ha is given twice with different values (--ha 1, then --ha=0)"},
      {{"check", r, "--model", "A", "--model", "B"},
       "--model is given twice with different values (--model A, then --model B)"},
      {{"--sim=missing.json", "--sim", "scan"},
       "--sim is given twice with different values (--sim=missing.json, then --sim)"},
      {{"--sim=a.json", "--sim=b.json", "scan"}, "--sim is given twice"},
      {{"--timeout", "5", "--timeout", "6", "scan"}, "--timeout is given twice"},
      {{"--dir", "a", "--dir", "b"}, "--dir is given twice"},
      // The same value twice, however written, is harmless.
      {{"download", r, "--ha", "0", "--id", "2", "--id", "0x2", "--yes", "--yes"}, ""},
      {{"--sim", "--sim", "--trace", "--trace", "scan"}, ""},
      {{"--sim=a.json", "--sim=a.json", "scan"}, ""},
      {{"--timeout", "1", "--timeout", "1.0", "scan"}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args[1]);
    std::string error;
    const auto options = Parse(c.args, &error);
    EXPECT_EQ(options.has_value(), c.error.empty()) << error;
    EXPECT_EQ(error.substr(0, c.error.size()), c.error);
  }
}

// Every number option reads the one grammar of --ha and --id: decimal or 0x
// hexadecimal, nothing around it; seconds may have a decimal fraction.
TEST(CliParse, OneGrammarForEveryNumber) {
  struct Case {
    std::string text;
    bool whole;    // taken by --ha, --id and the arguments of send
    bool seconds;  // taken by --timeout
  };
  const Case cases[] = {
      {"2", true, true},       {"0x2", true, true},     {"0X2", true, true},
      {"0.5", false, true},    {"12.25", false, true},  {" 2", false, false},
      {"2 ", false, false},    {"\t2", false, false},   {"+2", false, false},
      {"0x1p3", false, false}, {"0x0.8", false, false}, {"1e1", false, false},
      {"2.", false, false},    {".5", false, false},    {"0x", false, false},
      {"", false, false},      {"two", false, false},   {"1_0", false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("'" + c.text + "'");
    std::string error;
    EXPECT_EQ(Parse({"--ha", c.text, "--id", "2", "version"}, &error).has_value(), c.whole);
    EXPECT_EQ(Parse({"--ha", "0", "--id", c.text, "version"}, &error).has_value(), c.whole);
    EXPECT_EQ(Parse({"--timeout", c.text, "scan"}, &error).has_value(), c.seconds);
    const Result send = Cli({"send", "DiIn", c.text, "0", "--ha", "0", "--id", "2"});
    EXPECT_EQ(send.rc != kExitUsage, c.whole) << send.err;
  }
}

TEST(CliParse, HelpComesFromTheTables) {
  const std::string help = UsageText();
  for (const auto& names : {CommandNames(), OptionNames(), BuilderNames()}) {
    for (const auto& name : names) EXPECT_NE(help.find("  " + name), std::string::npos) << name;
  }
  std::istringstream lines(help);
  for (std::string line; std::getline(lines, line);) EXPECT_LE(line.size(), 80u) << line;
}

TEST(CliRun, CommandsOnTheBuiltInBus) {
  const std::string all = kReleases + "QXR4410_ALL.OUB";
  struct Case {
    std::vector<std::string> args;
    int rc;
    std::string out, err;  // must appear
  };
  const Case cases[] = {
      {{"scan"}, 0, "Host adapter 2:SIM-HA2\n  target 1:QX-R4410", ""},
      {{"--json", "scan"}, 0, R"({"event":"target","ha":2,"item":"4:QX-R4410        "})", ""},
      {{"version", "--ha", "0", "--id", "2"}, 0, "Current Firmware Version: 1.10", ""},
      {{"version", "--ha", "1", "--id", "2"}, 1, "", "host adapter 1 did not answer the scan ("},
      {{"version", "--ha", "0", "--id", "3"}, 1, "", "no device answered at target ID 3 on"},
      {{"--json", "download", all, "--ha", "2", "--id", "4", "--yes"},
       0,
       R"({"block":-1,"blocks_planned":16,"blocks_sent":16,"end":"done","event":"download"})",
       ""},
      {{"download", kReleases + "BAD_CHECKSUM.OUB", "--ha", "0", "--id", "2", "--yes"},
       1,
       "File CheckSum Error",
       ""},
      {{"download", all, "--ha", "0", "--id", "2", "--no"}, 1, "-> Cancel", ""},
      {{"download", "--ha", "0", "--id", "2", "--yes"}, 2, "", "needs exactly one parameter file"},
      {{"download", kReleases, "--ha", "0", "--id", "2"}, 2, "", "not a release file: "},
      {{"check", ""}, 2, "", "not a release file: \n"},
      {{"send", "MemoryRead", "0x7FE0", "0x7FE1", "0", "--ha", "0", "--id", "2"},
       0,
       "MemoryRead: completed without error",
       ""},
      {{"--json", "send", "MemoryRead", "0", "40000", "0", "--ha", "0", "--id", "2"},
       1,
       "MemoryReadInvalid parameter set in SRB",
       ""},
      {{"send", "MemoryRead", "0", "0x1000000", "0", "--ha", "0", "--id", "2"},
       2,
       "",
       "END '0x1000000' of MemoryRead is not a number in 0..16777215"},
      {{"send", "DiIn", "1", "--ha", "0", "--id", "2"}, 2, "", "DiIn takes 2 argument(s)"},
      {{"send", "WriteBuffer", "--ha", "0", "--id", "2"}, 2, "", "unknown builder 'WriteBuffer'"},
      {{"--trace", "send", "TestUnitReady", "--ha", "0", "--id", "2"},
       0,
       "| CDB= 00 00 00 00 00 C0",
       ""},
      {{"check", kReleases + "QXR4410_A1.OUB"},
       0,
       "blocks sent: 2 3 4 5 6 7 8 9 10 11 12 13 14",
       ""},
      {{"check", kReleases + "BAD_NOAREA.OUB"}, 1, "Program Error", ""},
      {{"check", kReleases + "QXR4410_A1.OUB", "--model", "qx-r4410"}, 1, "Select 'QX-R4410'", ""},
      {{"version"}, 2, "", "version needs --ha N and --id M"},
      // A dry run says whether the download would start, and its exit code too.
      {{"download", all, "--ha", "0", "--id", "2", "--dry-run"},
       0,
       "The download would start.",
       ""},
      {{"--json", "download", all, "--ha", "2", "--id", "4", "--dry-run"},
       0,
       R"("prepare":false,"reason":"","release":"QXR4410_ALL.OUB","state_word":"0xCCDD")",
       ""},
      {{"download", all, "--ha", "0", "--id", "5", "--dry-run"},
       1,
       "The download would not start: Select 'QX-R4410'",
       ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.size() > 1 ? c.args[0] + " " + c.args[1] : c.args[0]);
    const Result r = Cli(c.args);
    EXPECT_EQ(r.rc, c.rc) << r.out << r.err;
    EXPECT_NE(r.out.find(c.out), std::string::npos) << r.out;
    EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
  }
}

// A twin recorded by a dry run replays on the simulated bus to the same
// report, and the trace of the dry run holds only reading commands.
TEST(CliRun, ADryRunsTwinReplaysIt) {
  const auto dir = std::filesystem::temp_directory_path() / "qx-cli-twin";
  std::filesystem::create_directories(dir);
  const std::string twin = (dir / "twin.json").string();
  const std::string all = kReleases + "QXR4410_ALL.OUB";
  const Result recorded =
      Cli({"--trace", "download", all, "--ha", "0", "--id", "2", "--dry-run", "--record", twin});
  ASSERT_EQ(recorded.rc, 0) << recorded.err;
  for (const char* write : {"| CDB= 3B", "| CDB= DF 00 E3", "| CDB= DF 00 D7"}) {
    EXPECT_EQ(recorded.out.find(write), std::string::npos) << write;
  }
  const Result replayed =
      Cli({"--sim=" + twin, "download", all, "--ha", "0", "--id", "2", "--dry-run"});
  EXPECT_EQ(replayed.rc, 0) << replayed.err;
  // From the report's first line to its verdict.
  const auto report = [](const std::string& out) {
    const size_t from = out.rfind("Dry run of");
    return out.substr(from, out.find("The download would", from) - from);
  };
  EXPECT_EQ(report(replayed.out), report(recorded.out));
  EXPECT_NE(replayed.err.find("replays a recording of the drive at 0:2 (QX-R4410)"),
            std::string::npos);
  // The twin never overwrites what the job reads.
  const Result onto_release =
      Cli({"download", all, "--ha", "0", "--id", "2", "--dry-run", "--record", all});
  EXPECT_EQ(onto_release.rc, 1);
  EXPECT_NE(onto_release.err.find("names a file this job reads"), std::string::npos);
  std::filesystem::remove_all(dir);
}

TEST(CliRun, DumpImagePrintsEachLineOnce) {
  const Result r = Cli({"dump-image", kReleases + "QXR4410_A2.OUB"});
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 16384);
  EXPECT_EQ(r.out.substr(0, 7), "000000:");
}

TEST(CliRun, DanglingImageLinkIsNamed) {
  const auto dir = std::filesystem::temp_directory_path() / "qxflash-cli-link";
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  std::filesystem::copy_file(kReleases + "QXR4410_A0.OUB", dir / "R.OUB");
  std::error_code ec;
  std::filesystem::create_symlink(dir / "gone.bin", dir / "R.bin", ec);
  if (ec) {
    std::filesystem::remove_all(dir);
    GTEST_SKIP() << "no symbolic links here: " << ec.message();
  }
  const Result r = Cli({"check", os::Utf8FromPath(dir / "R.OUB")});
  EXPECT_EQ(r.rc, 2);
  EXPECT_NE(r.err.find("image link " + os::Utf8FromPath(dir / "R.bin") + " points to nothing"),
            std::string::npos)
      << r.err;
  std::filesystem::remove_all(dir);
}

// A stream whose every write fails, like stdout on a full disk.
struct FullBuf : std::streambuf {
  int overflow(int) override {
    errno = ENOSPC;
    return traits_type::eof();
  }
};

TEST(CliRun, OutputThatCannotBeWrittenFailsTheJob) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"scan"},
        {"download", kReleases + "QXR4410_ALL.OUB", "--ha", "0", "--id", "2", "--yes"}}) {
    SCOPED_TRACE(args[0]);
    FullBuf buf;
    std::ostream full(&buf);
    ResetProcessState();
    auto bus = MakeTransport({}, nullptr);
    InstallAspiManager(bus);
    std::string error;
    auto options = Parse(args, &error);
    options->no_history = true;
    std::ostringstream err;
    const int rc = RunCommand(*options, full, err);
    InstallAspiManager(nullptr);
    EXPECT_EQ(rc, kExitFailed);
    EXPECT_NE(err.str().find("cannot write the output: No space left on device"), std::string::npos)
        << err.str();
    // A download is not started into an output nobody can read: no command
    // of the download reached the drive.
    EXPECT_EQ(std::static_pointer_cast<sim::SimBus>(bus)->Drive(0, 2)->blocks_received, 0u);
  }
}

TEST(CliRun, ALongCommandIsReportedWhileItRuns) {
  const auto scenario = std::filesystem::temp_directory_path() / "qxflash-cli-slow.json";
  std::ofstream(scenario) << R"({"adapters": [{"ha": 0, "targets": [{"id": 2, "delay_ms": 1100,
      "inquiry": {"vendor": "AMBERVLT", "product": "QX-R4410", "revision": "1.10"}}]}],
      "completion": {"async": true, "delay_ms": 0}})";
  const Result json = Cli({"--json", "--sim=" + os::Utf8FromPath(scenario), "send", "TestUnitReady",
                           "--ha", "0", "--id", "2"});
  EXPECT_EQ(json.rc, 0);
  EXPECT_NE(json.out.find(R"({"command":"TestUnitReady","event":"waiting","seconds":1})"),
            std::string::npos)
      << json.out;
  std::filesystem::remove(scenario);
}

// A huge argument comes back as a part of it and its length, never whole;
// thousands of mount points are named as the first few and a count.
TEST(CliRun, FloodsAreQuotedInPart) {
  const std::string huge(131000, 'a');
  const auto mounts = std::filesystem::temp_directory_path() / "qxflash-cli-mounts.json";
  {
    std::ofstream scenario(mounts);
    scenario << R"({"adapters": [{"ha": 0, "targets": [{"id": 2, "mounted": [)";
    for (int i = 0; i < 3000; ++i) scenario << (i ? "," : "") << "\"/media/m" << i << "\"";
    scenario << "]}]}]}";
  }
  struct Case {
    std::vector<std::string> args;
    int rc;
    std::string said;  // in stdout or stderr
  };
  const Case cases[] = {
      {{"--" + huge}, 2, "unknown option '--aaaa"},
      {{huge}, 2, "unknown command 'aaaa"},
      {{"--sim=" + huge, "scan"}, 2, "cannot open scenario file 'aaaa"},
      {{"scan", huge}, 2, "'scan' takes no argument 'aaaa"},
      {{"check", huge + ".OUB"}, 2, "not a release file: aaaa"},
      {{"send", huge, "--ha", "0", "--id", "2"}, 2, "unknown builder 'aaaa"},
      {{"send", "DiIn", huge, "0", "--ha", "0", "--id", "2"}, 2, "B1 'aaaa"},
      {{"check", "R.OUB", "--model", huge, "--model", "B"}, 2, "--model is given twice"},
      {{"--sim=" + os::Utf8FromPath(mounts), "--no-history", "download",
        kReleases + "QXR4410_A0.OUB", "--ha", "0", "--id", "2", "--yes"},
       1,
       "is mounted at /media/m0, /media/m1, /media/m2, /media/m3, /media/m4 and 2995 more: "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0].substr(0, 20));
    std::ostringstream out, err;
    ResetProcessState();
    EXPECT_EQ(Main(c.args, out, err), c.rc);
    const std::string said = out.str() + err.str();
    EXPECT_NE(said.find(c.said), std::string::npos) << said.substr(0, 500);
    EXPECT_LT(said.size(), 2000u);
    if (c.rc == 2) {
      EXPECT_NE(said.find("... (13100"), std::string::npos) << said.substr(0, 500);
    }
  }
  std::filesystem::remove(mounts);
}

TEST(CliOutput, ControlCharactersAreShownEscaped) {
  struct Case {
    std::string in, out;
  };
  const Case cases[] = {
      {"plain text", "plain text"},
      {"a\x1b[31mred", "a\\x1B[31mred"},
      {"bell\a", "bell\\x07"},
      {"del\x7f", "del\\x7F"},
      {"csi \xc2\x9b", "csi \\u009B"},
      {"dot \xef\xbd\xa5", "dot \xef\xbd\xa5"},
      {"broken \xff\xc3", "broken \\xFF\\xC3"},
      {"line\nbreak", "line\\x0Abreak"},
  };
  for (const auto& c : cases) EXPECT_EQ(Printable(c.in), c.out) << c.in;
  EXPECT_EQ(Printable("a\nb", true), "a\nb");
  EXPECT_EQ(Latin1ToUtf8("\xe9"), "\xc3\xa9");
}

}  // namespace
}  // namespace qx::cli

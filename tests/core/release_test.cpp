// Release files: the parameter-file reader, the header, model, checksum and
// consistency checks, the image load and the sample releases.
#include "download/release.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "download/firmware_tag.h"
#include "platform/os.h"
#include "tests/support/system.h"
#include "tools/release_writer.h"

namespace qx {
namespace {

namespace fs = std::filesystem;

constexpr const char* kCombo = "0 QX-R4410        1.20";
const std::string kMagic(kParamMagic);

size_t OpenFds() {
  return test::OpenFiles();
}

void WriteBytes(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string AsText(const std::vector<uint8_t>& image, size_t n = kImageSize) {
  return std::string(reinterpret_cast<const char*>(image.data()), std::min(n, image.size()));
}

// A fresh directory per test, removed afterwards; ImageBuf reset around it.
class ReleaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static std::atomic<int> serial{0};
    dir_ = fs::temp_directory_path() / ("qx_release_test_" + std::to_string(test::ProcessId()) +
                                        "_" + std::to_string(serial++));
    fs::create_directories(dir_);
    ResetReleaseState();
  }
  void TearDown() override {
    fs::remove_all(dir_);
    ResetReleaseState();
  }

  std::string Dir() const { return JoinDir(os::Utf8FromPath(dir_)); }

  // Writes NAME.OUB (from `recipe`, checksum of `image`) and NAME.bin.
  void WriteRelease(const std::string& name, const tools::ReleaseRecipe& recipe,
                    const std::vector<uint8_t>& image) {
    WriteBytes(dir_ / (name + ".OUB"), tools::ParameterFileText(recipe, ImageSum(image)));
    WriteBytes(dir_ / (name + ".bin"), AsText(image, image.size()));
  }

  // Header check and release load of NAME.OUB in this directory, checking
  // that no descriptor is left open whatever the outcome.
  std::optional<std::string> Load(const std::string& name, Release& out) {
    size_t before = OpenFds();
    ParameterFile file;
    auto result = HeaderCheck(Dir() + name, kCombo, file);
    if (!result) result = ReleaseLoad(file, Dir(), name, out);
    EXPECT_FALSE(file.IsOpen());
    EXPECT_EQ(OpenFds(), before);
    return result;
  }
  std::optional<std::string> Load(const std::string& name) {
    Release out;
    return Load(name, out);
  }

  fs::path dir_;
  std::vector<uint8_t> image_ = tools::SyntheticImage("9.99 TEST");
};

// ---------------------------------------------------------------------------

TEST(ReleaseVersion, LastFourCharacters) {
  struct Case {
    std::string header;
    int16_t version;
  } cases[] = {
      {kMagic + "0002", 2},
      {kMagic + "2.00", 2},
      {kMagic + "   2", 2},
      {kMagic, 0},
      {kMagic + "2", 0},
      {kMagic + "0003", 3},
      {kMagic + "2 00", 200},
      {kMagic + "-002", -2},
      {"2", 2},
      {"", 0},
      {"1e01", 10},
      {kMagic + "2.50", kInvalidVersion},
      {"9e99", kInvalidVersion},
      {"+2x5", 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.header);
    EXPECT_EQ(ParamFileVersion(c.header), c.version);
  }
}

TEST(ReleaseHeader, MagicVersionAndModel) {
  const std::string rest = "\r\nQX-R4410\r\n";
  struct Case {
    std::string file;
    std::optional<std::string> message;
  } cases[] = {
      {kMagic + "0002" + rest, std::nullopt},
      {kMagic + "2.00" + rest, std::nullopt},
      {kMagic + "   2" + rest, std::nullopt},
      {kMagic + "0002   " + rest, std::nullopt},  // trailing blanks are trimmed
      {"\"" + kMagic + "0002  \"" + rest, std::nullopt},
      {kMagic + rest, "Parameter file version unmatch"},
      {kMagic + "2" + rest, "Parameter file version unmatch"},
      {kMagic + "0003" + rest, "Parameter file version unmatch"},
      {kMagic + "2.50" + rest, "Parameter file version unmatch"},
      {"AmbervaultParameterFile ver.0002" + rest, "Parameter file version unmatch"},
      {"aMbervaultParameterFile Ver.0002" + rest, "Parameter file version unmatch"},
      {"Ambervault" + rest, "Parameter file version unmatch"},
      {"", "Parameter file ends before item 1"},
      {kMagic + "0002\r\n", "Parameter file ends before item 2"},
      {kMagic + "0002\r\nR4410\r\n", std::nullopt},  // a substring is enough
      {kMagic + "0002\r\nqx-r4410\r\n", "Select 'qx-r4410'"},
      {kMagic + "0002\r\nQX-R4420\r\n", "Select 'QX-R4420'"},
      {kMagic + "0002\r\n\"QX-R4410,\"\r\n", "Select 'QX-R4410,'"},
      {kMagic + "0002\r\n\r\n", "Select ''"},  // an empty model matches nothing
      {kMagic + "0002\r\n\"-\"\r\n", "Select '-'"},
      {kMagic + "0002\r\n\"0 \"\r\n", std::nullopt},  // a prefix-less entry is all product
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    ParameterFile file;
    file.OpenBuffer(c.file);
    EXPECT_EQ(HeaderCheck(file, kCombo), c.message);
    EXPECT_EQ(file.IsOpen(), !c.message.has_value());
  }
}

TEST(ReleaseModel, MatchesOnlyTheProductPart) {
  const std::string qx = "2:QX-R4410        ", disk = "2:SEAGATE DISK   ", bare = "QX-R4410";
  struct Case {
    std::string item;
    bool qx, disk, bare;  // matches each entry
  } cases[] = {
      {":", false, false, false},         // the prefix is not part of the product
      {"2:", false, false, false},        //
      {"S", false, true, false},          //
      {"-", false, false, false},         // no letter or digit
      {"", false, false, false},          //
      {"  ", false, false, false},        //
      {"QX-R4410", true, false, true},    //
      {"R4410", true, false, true},       // a part of the product is enough
      {"qx-r4410", false, false, false},  // case-sensitive
      {"2:QX-R4410", false, false, false},
      {"4410 ", true, false, false},  // blanks count as they stand
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("'" + c.item + "'");
    EXPECT_EQ(ModelMatches(c.item, qx), c.qx);
    EXPECT_EQ(ModelMatches(c.item, disk), c.disk);
    EXPECT_EQ(ModelMatches(c.item, bare), c.bare);
  }
  // Only digits followed by ':' form the prefix; otherwise all is product.
  EXPECT_TRUE(ModelMatches("2:", "12:X 2:"));
  EXPECT_FALSE(ModelMatches("3", "3:QX-R4410"));
  EXPECT_TRUE(ModelMatches("0 Q", kCombo));
  EXPECT_TRUE(ModelMatches(":Q", "A:QX"));
}

TEST(ReleaseItems, DelimitersQuotesAndLineEnds) {
  struct Case {
    std::string text;
    std::vector<std::string> items;
  } cases[] = {
      {"a\r\nb\r\n", {"a", "b"}},
      {"a\nb", {"a", "b"}},
      {"a\rb\r\n", {"a", "b"}},
      {"  a b  \r\n\tc\t\r\n", {"a b", "c"}},
      {"a,b\r\nc", {"a", "b", "c"}},
      {"a,\r\nb", {"a", "", "b"}},
      {"\r\n\r\n", {"", ""}},
      {"\"x, y\"\r\nz", {"x, y", "z"}},
      {"  \"  x  \"  \r\n", {"  x  "}},
      {"\"x\" junk,y\r\n", {"x", "y"}},
      {"\"open, end\r\nnext", {"open, end", "next"}},
      {"\"\"\r\n", {""}},
      {"   ", {}},
      {"", {}},
      {std::string("n\0ul\r\n", 6), {std::string("n\0ul", 4)}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    ParameterFile file;
    file.OpenBuffer(c.text);
    std::vector<std::string> got;
    std::string item;
    ItemStatus st;
    while ((st = file.ReadItem(item)) == ItemStatus::kOk) got.push_back(item);
    EXPECT_EQ(st, ItemStatus::kEnd);
    EXPECT_EQ(got, c.items);
  }
}

TEST(ReleaseItems, LimitsAndClosedFile) {
  ParameterFile file;
  std::string item;
  EXPECT_EQ(file.ReadItem(item), ItemStatus::kNotOpen);
  for (const std::string& text :
       {std::string(kMaxItemBytes + 1, 'x'), std::string(kMaxItemBytes + 1, ' ') + "x",
        "\"" + std::string(kMaxItemBytes + 1, ',')}) {
    file.OpenBuffer(text);
    EXPECT_EQ(file.ReadItem(item), ItemStatus::kTooLong);
  }
  file.OpenBuffer(std::string(kMaxItemBytes - 1, 'x') + "\r\n");
  EXPECT_EQ(file.ReadItem(item), ItemStatus::kOk);
  file.Close();
  file.Close();  // closing twice is harmless
  EXPECT_FALSE(file.IsOpen());
}

TEST_F(ReleaseTest, FileIsClosedByDestructorAndMove) {
  WriteBytes(dir_ / "P.OUB", "x\r\n");
  size_t before = OpenFds();
  {
    ParameterFile a;
    ASSERT_TRUE(a.Open(Dir() + "P.OUB"));
    EXPECT_EQ(OpenFds(), before + 1);
    ParameterFile b = std::move(a);
    EXPECT_EQ(OpenFds(), before + 1);
    EXPECT_TRUE(b.IsOpen());
  }
  EXPECT_EQ(OpenFds(), before);
}

// ---------------------------------------------------------------------------

TEST_F(ReleaseTest, NumberForms) {
  struct Case {
    std::string text;
    std::optional<int16_t> flag;  // nullopt: error expected
    std::string error = "";
  } cases[] = {
      {"1", 1},
      {"+1", 1},
      {"1.0", 1},
      {"1e0", 1},
      {"\" 1 \"", 1},
      {"1e2", 100},
      {"-1", -1},
      {"-32768", -32768},
      {"0x1", std::nullopt, "item 4 (area flag 0) is not a decimal number: '0x1'"},
      {"&H1", std::nullopt, "is not a decimal number: '&H1'"},
      {"one", std::nullopt, "is not a decimal number: 'one'"},
      {"1 2", std::nullopt, "is not a decimal number: '1 2'"},
      {"inf", std::nullopt, "is not a decimal number"},
      {"", std::nullopt, "item 4 (area flag 0) is empty; a number is expected"},
      {"1.5", std::nullopt, "is not a whole number: '1.5'"},
      {"40000", std::nullopt, "is out of range: '40000'"},
      // Decided on the digits, not through a double that would round them to 1.
      {"1.0000000000000001", std::nullopt, "is not a whole number: '1.0000000000000001'"},
      {"0.99999999999999999", std::nullopt, "is not a whole number: '0.99999999999999999'"},
      {"1e-400", std::nullopt, "is not a whole number: '1e-400'"},
      {"1.000", 1},
      {"10e-1", 1},
      {"0.001e3", 1},
      {"00001", 1},
      {"1.", 1},
      {"-0.0", 0},
      {"0e99999999999999999999", 0},
      {"32767", 32767},
      {"3.2767e4", 32767},
      {"32768", std::nullopt, "is out of range: '32768'"},
      {"-32769", std::nullopt, "is out of range: '-32769'"},
      {"1e400", std::nullopt, "is out of range: '1e400'"},
      {"1e99999999999999999999", std::nullopt, "is out of range"},
      {"32767.5", std::nullopt, "is not a whole number"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    tools::ReleaseRecipe recipe;
    recipe.flags = {c.text, "0", "1"};
    WriteRelease("N", recipe, image_);
    Release out;
    auto result = Load("N.OUB", out);
    if (c.flag) {
      EXPECT_EQ(result, std::nullopt);
      EXPECT_EQ(out.AreaFlag[0], *c.flag);
    } else {
      ASSERT_TRUE(result.has_value());
      EXPECT_NE(result->find(c.error), std::string::npos) << *result;
    }
  }
}

TEST_F(ReleaseTest, ChecksumForms) {
  const std::string sum = std::to_string(ImageSum(image_));
  struct Case {
    std::string text;
    std::string result;  // empty: passes
  } cases[] = {
      {sum, ""},
      {sum + ".0", ""},
      {"+" + sum, ""},
      {"\"  " + sum + "  \"", ""},
      {sum.substr(0, 1) + "." + sum.substr(1) + "e" + std::to_string(sum.size() - 1), ""},
      {sum + ".5", "File CheckSum Error"},
      {"-" + sum, "File CheckSum Error"},
      {"1e400", "item 10 (checksum) is out of range: '1e400'"},
      {"nan", "item 10 (checksum) is not a decimal number: 'nan'"},
      {"", "item 10 (checksum) is empty"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::string text = tools::ParameterFileText({}, 0);
    text.replace(text.rfind("0\r\n"), 1, c.text);
    WriteBytes(dir_ / "C.OUB", text);
    WriteBytes(dir_ / "C.bin", AsText(image_));
    auto result = Load("C.OUB");
    if (c.result.empty()) {
      EXPECT_EQ(result, std::nullopt);
    } else {
      ASSERT_TRUE(result.has_value());
      EXPECT_NE(result->find(c.result), std::string::npos) << *result;
    }
  }
}

// ---------------------------------------------------------------------------

TEST_F(ReleaseTest, BlockModeFollowsTheAreaFlags) {
  struct Case {
    std::array<int16_t, 3> flags;
    int saveBlock;  // entry holding 5, -1: none
    std::vector<size_t> blocks;
  } cases[] = {
      {{1, 0, 0}, 1, {0, 1}},
      {{0, 1, 0}, 14, {2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14}},
      {{1, 1, 1}, 15, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}},
      {{0, 0, 1}, 15, {15}},
      {{1, 0, 1}, 15, {0, 1, 15}},
      {{0, 0, 0}, -1, {}},
      {{2, 2, 2}, -1, {}},
      {{-1, -1, -1}, -1, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.flags[0] << "," << c.flags[1] << "," << c.flags[2]);
    std::array<uint8_t, 16> want;
    want.fill(4);
    if (c.saveBlock >= 0) want[static_cast<size_t>(c.saveBlock)] = 5;
    EXPECT_EQ(BuildBlockMode(c.flags), want);
    Release r;
    r.AreaFlag = c.flags;
    EXPECT_EQ(BlocksToSend(r), c.blocks);

    tools::ReleaseRecipe recipe;
    for (size_t i = 0; i < 3; ++i) recipe.flags[i] = std::to_string(c.flags[i]);
    WriteRelease("F", recipe, image_);
    Release out;
    auto result = Load("F.OUB", out);
    if (c.saveBlock >= 0) {
      EXPECT_EQ(result, std::nullopt);
      EXPECT_EQ(out.BlockMode, want);
    } else {
      EXPECT_EQ(result, "Program Error");
    }
  }
}

TEST_F(ReleaseTest, ChecksumIsExactAndComesBeforeConsistency) {
  struct Case {
    uint8_t fill;
    uint64_t sum;
  } images[] = {{0xFF, 66846720}, {0x00, 0}};
  for (const auto& c : images) {
    std::vector<uint8_t> image(kImageSize, c.fill);
    EXPECT_EQ(ImageSum(image), c.sum);
    WriteRelease("S", {}, image);
    EXPECT_EQ(Load("S.OUB"), std::nullopt);
    EXPECT_EQ(ImageBuf[kImageSize - 1], c.fill);
  }
  tools::ReleaseRecipe none;
  none.flags = {"0", "0", "0"};
  none.checksumDelta = 1;
  WriteRelease("W", none, image_);
  EXPECT_EQ(Load("W.OUB"), "File CheckSum Error");
  none.checksumDelta = 0;
  WriteRelease("W", none, image_);
  EXPECT_EQ(Load("W.OUB"), "Program Error");
}

TEST(ReleaseSum, MatchesAPlainByteSumForEveryTailLength) {
  std::vector<uint8_t> bytes(kImageSize + 37);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 131 + (i >> 7));
  for (size_t n : {size_t{0}, size_t{1}, size_t{15}, size_t{16}, size_t{31}, size_t{32}, size_t{33},
                   size_t{1000}, kImageSize, kImageSize + 37}) {
    SCOPED_TRACE(n);
    uint64_t plain = 0;
    for (size_t i = 0; i < n; ++i) plain += bytes[i];
    EXPECT_EQ(ImageSum(std::span(bytes).first(n)), plain);
    EXPECT_EQ(ImageSum(std::span(bytes).subspan(1, n > 0 ? n - 1 : 0)), plain - bytes[0] * (n > 0));
  }
}

TEST_F(ReleaseTest, LongerImageIsReadOnlyToItsSize) {
  auto longer = image_;
  longer.resize(kImageSize + 4096, 0xFF);
  WriteBytes(dir_ / "L.OUB", tools::ParameterFileText({}, ImageSum(image_)));
  WriteBytes(dir_ / "L.bin", AsText(longer, longer.size()));
  EXPECT_EQ(Load("L.OUB"), std::nullopt);
  EXPECT_TRUE(std::equal(image_.begin(), image_.end(), ImageBuf.begin()));
}

// ---------------------------------------------------------------------------

TEST_F(ReleaseTest, FailuresCloseTheFileAndKeepImageBuf) {
  const std::string good = tools::ParameterFileText({}, ImageSum(image_));
  auto cut = [&](int items) {  // the first `items` lines of the good file
    size_t pos = 0;
    for (int i = 0; i < items; ++i) pos = good.find("\r\n", pos) + 2;
    return good.substr(0, pos);
  };
  auto replaceLine = [&](int item, const std::string& text) {
    return cut(item - 1) + text + "\r\n" + good.substr(cut(item).size());
  };
  struct Case {
    const char* what;
    std::string oub;                   // parameter file text; empty: none written
    std::optional<std::string> image;  // image bytes; nullopt: none written
    std::string message;
    const char* label = "R.OUB";
  } cases[] = {
      {"ends before item 10", cut(9), AsText(image_), "Parameter file ends before item 10"},
      {"ends before item 3", cut(2), AsText(image_), "Parameter file ends before item 3"},
      {"item 4 text", replaceLine(4, "yes"), AsText(image_),
       "Parameter file item 4 (area flag 0) is not a decimal number: 'yes'"},
      {"item 6 text", replaceLine(6, "-"), AsText(image_), "item 6 (area flag 1) is not a"},
      {"item 8 text", replaceLine(8, "1a"), AsText(image_), "item 8 (area flag 2) is not a"},
      {"item 10 text", replaceLine(10, "sum"), AsText(image_), "item 10 (checksum) is not a"},
      {"comma in free text", replaceLine(3, "Area 0, blocks 0-1"), AsText(image_),
       "item 4 (area flag 0) is not a decimal number: 'blocks 0-1'"},
      {"no image", good, std::nullopt, "Firmware image '" + Dir() + "R.bin' not found"},
      {"short image", good, AsText(image_, kImageSize - 1), "is too short: 262143 of 262144 bytes"},
      {"empty image", good, std::string(), "is too short: 0 of 262144 bytes"},
      {"no parameter file", "", AsText(image_), "Cannot open parameter file '" + Dir() + "R.OUB'"},
      {"name too short", good, AsText(image_), "name is shorter than three characters", "ab"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    if (!c.oub.empty()) WriteBytes(dir_ / c.label, c.oub);
    if (c.image) WriteBytes(dir_ / "R.bin", *c.image);
    ImageBuf.fill(0x5A);
    auto result = Load(c.label);
    ASSERT_TRUE(result.has_value());
    EXPECT_NE(result->find(c.message), std::string::npos) << *result;
    EXPECT_TRUE(std::all_of(ImageBuf.begin(), ImageBuf.end(), [](uint8_t b) { return b == 0x5A; }));
  }
}

// The image's name is the parameter file's with "bin" for its last three
// characters. Where the file system tells letter case apart (Linux), R.BIN is
// another file and the message points at it; where it does not (Windows), R.BIN
// is the image R.bin, as releases made on Windows name it.
TEST_F(ReleaseTest, ImageNameMustEndInLowerCaseBin) {
  WriteBytes(dir_ / "R.OUB", tools::ParameterFileText({}, ImageSum(image_)));
  WriteBytes(dir_ / "R.BIN", AsText(image_));
  const bool case_blind = fs::exists(dir_ / "R.bin");
  auto result = Load("R.OUB");
  if (case_blind) {
    EXPECT_EQ(result, std::nullopt);
  } else {
    ASSERT_TRUE(result.has_value());
    EXPECT_NE(result->find("there is 'R.BIN'"), std::string::npos) << *result;
  }
  fs::rename(dir_ / "R.BIN", dir_ / "R.bin");
  EXPECT_EQ(Load("R.OUB"), std::nullopt);
  // A parameter file named in lower case looks for a lower-case image name.
  fs::rename(dir_ / "R.OUB", dir_ / "R.oub");
  EXPECT_EQ(Load("R.oub"), std::nullopt);
}

TEST_F(ReleaseTest, NonRegularFilesAreRefused) {
  fs::create_directories(dir_ / "D.OUB");
  auto result = Load("D.OUB");
  ASSERT_TRUE(result.has_value());
  EXPECT_NE(result->find("not a regular file"), std::string::npos) << *result;

  WriteBytes(dir_ / "E.OUB", tools::ParameterFileText({}, ImageSum(image_)));
  fs::create_directories(dir_ / "E.bin");
  result = Load("E.OUB");
  ASSERT_TRUE(result.has_value());
  EXPECT_NE(result->find("is not a file"), std::string::npos) << *result;
}

TEST_F(ReleaseTest, FifoIsRefusedWithoutWaiting) {
  if (!test::HasFifos()) GTEST_SKIP() << "the file system has no FIFOs";
  ASSERT_TRUE(test::MakeFifo(dir_ / "F.OUB"));  // would block if opened
  auto result = Load("F.OUB");
  ASSERT_TRUE(result.has_value());
  EXPECT_NE(result->find("not a regular file"), std::string::npos) << *result;
}

TEST_F(ReleaseTest, ImageBufKeepsItsContentsBetweenLoads) {
  WriteRelease("G", {}, image_);
  ASSERT_EQ(Load("G.OUB"), std::nullopt);
  // A header failure afterwards does not touch the image of the last load.
  WriteBytes(dir_ / "H.OUB", kMagic + "0003\r\n");
  EXPECT_EQ(Load("H.OUB"), "Parameter file version unmatch");
  EXPECT_TRUE(std::equal(image_.begin(), image_.end(), ImageBuf.begin()));
  ResetReleaseState();
  EXPECT_EQ(ImageSum(ImageBuf), 0u);
}

TEST(ReleasePaths, JoinDirAndImageName) {
  // The system's separator joins; '/' counts as one on every system.
  const std::string sep(1, static_cast<char>(fs::path::preferred_separator));
  EXPECT_EQ(JoinDir("/a/b"), "/a/b" + sep);
  EXPECT_EQ(JoinDir("/a/b/"), "/a/b/");
  EXPECT_EQ(JoinDir(""), "");
  EXPECT_EQ(JoinDir("C:\\R"), "C:\\R" + sep);
  EXPECT_EQ(JoinDir("C:\\R" + sep), "C:\\R" + sep);
  EXPECT_EQ(ImageFileName("ABC.OUB"), "ABC.bin");
  EXPECT_EQ(ImageFileName("abc.oub"), "abc.bin");
  EXPECT_EQ(ImageFileName("OUB"), "bin");
  EXPECT_EQ(ImageFileName("ab"), std::nullopt);
}

// ---------------------------------------------------------------------------

TEST(ReleaseExamples, BehaveAsNamed) {
  const std::string dir = JoinDir(std::string(QX_SOURCE_DIR) + "/examples/releases");
  struct Case {
    const char* name;
    std::string result;  // empty: passes
    std::array<int16_t, 3> flags{};
  } cases[] = {
      {"QXR4410_ALL.OUB", "", {1, 1, 1}},
      {"QXR4410_A0.OUB", "", {1, 0, 0}},
      {"QXR4410_A1.OUB", "", {0, 1, 0}},
      {"QXR4410_A2.OUB", "", {0, 0, 1}},
      {"BAD_MAGIC.OUB", "Parameter file version unmatch"},
      {"BAD_VERSION3.OUB", "Parameter file version unmatch"},
      {"BAD_MODEL.OUB", "Select 'QX-R4420'"},
      {"BAD_CHECKSUM.OUB", "File CheckSum Error"},
      {"BAD_NOAREA.OUB", "Program Error"},
      {"BAD_SHORTIMAGE.OUB", "is too short: 131072 of 262144 bytes"},
      {"BAD_NOIMAGE.OUB", "BAD_NOIMAGE.bin' not found"},
      {"BAD_COMMASHIFT.OUB", "item 4 (area flag 0) is not a decimal number: 'blocks 0-1'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ResetReleaseState();
    ParameterFile file;
    Release out;
    auto result = HeaderCheck(dir + c.name, kCombo, file);
    if (!result) result = ReleaseLoad(file, dir, c.name, out);
    if (c.result.empty()) {
      ASSERT_EQ(result, std::nullopt);
      EXPECT_EQ(out.AreaFlag, c.flags);
      EXPECT_EQ(FindFirmwareVersion(ImageBuf), "1.20 2026/12/01   ");
    } else {
      ASSERT_TRUE(result.has_value());
      EXPECT_NE(result->find(c.result), std::string::npos) << *result;
    }
  }
}

}  // namespace
}  // namespace qx

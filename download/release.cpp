#include "download/release.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <istream>
#include <limits>
#include <memory>
#include <sstream>
#include <system_error>

#include "platform/os.h"

#if defined(__SSE2__) && defined(__x86_64__)
#include <emmintrin.h>
#endif

namespace qx {

alignas(64) std::array<uint8_t, kImageSize> ImageBuf{};

void ResetReleaseState() {
  ImageBuf.fill(0);
}

namespace {

namespace fs = std::filesystem;

bool IsBlank(int c) {
  return c == ' ' || c == '\t';
}
bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}
char AsciiLower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string Quoted(std::string_view text) {
  return "'" + std::string(text) + "'";
}

// Converts text that is already known to be a decimal number ([-]digits[.digits][e[+-]digits],
// no leading '+'). nullopt when the value does not fit a double.
std::optional<double> ToDouble(std::string_view text) {
  double value = 0;
  auto [end, ec] =
      std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::general);
  if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) {
    return std::nullopt;
  }
  return value;
}

// Length of the longest prefix of `s` that reads as a decimal number
// ([+-]digits[.digits][(e|E)[+-]digits]); 0 when `s` does not begin with one.
size_t DecimalPrefix(std::string_view s) {
  size_t i = 0;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
  size_t digits = 0;
  while (i < s.size() && IsDigit(s[i])) ++i, ++digits;
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && IsDigit(s[i])) ++i, ++digits;
  }
  if (digits == 0) return 0;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    size_t j = i + 1;
    if (j < s.size() && (s[j] == '+' || s[j] == '-')) ++j;
    size_t expDigits = 0;
    while (j < s.size() && IsDigit(s[j])) ++j, ++expDigits;
    if (expDigits > 0) i = j;
  }
  return i;
}

// Value of a whole decimal number text; from_chars takes no leading '+'.
std::optional<double> DecimalValue(std::string_view number) {
  if (!number.empty() && number.front() == '+') number.remove_prefix(1);
  return ToDouble(number);
}

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && IsBlank(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && IsBlank(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

std::string ItemLabel(int itemNo, const char* what) {
  return "Parameter file item " + std::to_string(itemNo) + " (" + what + ")";
}

// The text of a numeric item without its blanks, when it is a plain decimal
// number; otherwise nullopt and `error` holds the message.
std::optional<std::string_view> DecimalItem(std::string_view item, const std::string& label,
                                            std::string& error) {
  std::string_view text = TrimBlanks(item);
  if (text.empty()) {
    error = label + " is empty; a number is expected";
    return std::nullopt;
  }
  if (DecimalPrefix(text) != text.size()) {
    error = label + " is not a decimal number: " + Quoted(text);
    return std::nullopt;
  }
  return text;
}

// Reads the checksum item. On failure `error` holds the message.
std::optional<double> NumberItem(std::string_view item, int itemNo, const char* what,
                                 std::string& error) {
  std::string label = ItemLabel(itemNo, what);
  auto text = DecimalItem(item, label, error);
  if (!text) return std::nullopt;
  auto value = DecimalValue(*text);
  if (!value) error = label + " is out of range: " + Quoted(*text);
  return value;
}

enum class WholeStatus { kOk, kNotWhole, kOutOfRange };

// Value of `number`, a text of the form DecimalPrefix accepts in full, as a
// 16-bit signed whole number. Decided on the digits themselves by decimal
// arithmetic, never through a double: "1.0000000000000001" is not whole,
// "10e-1" and "100e-2" are 1.
WholeStatus WholeNumber(std::string_view number, int16_t& out) {
  size_t i = 0;
  bool negative = false;
  if (i < number.size() && (number[i] == '+' || number[i] == '-')) negative = number[i++] == '-';
  std::string digits;    // integer and fraction digits, without the point
  int64_t exponent = 0;  // value = digits x 10^exponent
  for (; i < number.size() && IsDigit(number[i]); ++i) digits.push_back(number[i]);
  if (i < number.size() && number[i] == '.') {
    for (++i; i < number.size() && IsDigit(number[i]); ++i) {
      digits.push_back(number[i]);
      --exponent;
    }
  }
  if (i < number.size() && (number[i] == 'e' || number[i] == 'E')) {
    ++i;
    bool expNegative = false;
    if (i < number.size() && (number[i] == '+' || number[i] == '-'))
      expNegative = number[i++] == '-';
    // Far beyond any item length, so saturating changes no outcome.
    constexpr int64_t kCap = int64_t{1} << 40;
    int64_t e = 0;
    for (; i < number.size() && IsDigit(number[i]); ++i)
      e = std::min(kCap, e * 10 + (number[i] - '0'));
    exponent += expNegative ? -e : e;
  }
  size_t first = digits.find_first_not_of('0');
  if (first == std::string::npos) {
    out = 0;  // zero in any form, "-0" and "0e999" included
    return WholeStatus::kOk;
  }
  size_t last = digits.find_last_not_of('0');
  exponent += static_cast<int64_t>(digits.size() - 1 - last);
  std::string_view significant = std::string_view(digits).substr(first, last + 1 - first);
  // The significant digits end in a nonzero digit, so a negative exponent
  // always leaves a fraction.
  if (exponent < 0) return WholeStatus::kNotWhole;
  if (static_cast<int64_t>(significant.size()) + exponent > 5) return WholeStatus::kOutOfRange;
  int32_t value = 0;
  for (char c : significant) value = value * 10 + (c - '0');
  for (int64_t k = 0; k < exponent; ++k) value *= 10;
  if (negative) value = -value;
  if (value < std::numeric_limits<int16_t>::min() || value > std::numeric_limits<int16_t>::max()) {
    return WholeStatus::kOutOfRange;
  }
  out = static_cast<int16_t>(value);
  return WholeStatus::kOk;
}

// Reads an area flag item. On failure `error` holds the message.
std::optional<int16_t> FlagItem(std::string_view item, int itemNo, const char* what,
                                std::string& error) {
  std::string label = ItemLabel(itemNo, what);
  auto text = DecimalItem(item, label, error);
  if (!text) return std::nullopt;
  int16_t value = 0;
  switch (WholeNumber(*text, value)) {
    case WholeStatus::kOk:
      return value;
    case WholeStatus::kNotWhole:
      error = label + " is not a whole number: " + Quoted(*text);
      break;
    case WholeStatus::kOutOfRange:
      error = label + " is out of range: " + Quoted(*text);
      break;
  }
  return std::nullopt;
}

std::string ItemFailure(ItemStatus status, int itemNo) {
  switch (status) {
    case ItemStatus::kEnd:
      return "Parameter file ends before item " + std::to_string(itemNo);
    case ItemStatus::kTooLong:
      return "Parameter file item " + std::to_string(itemNo) + " is longer than " +
             std::to_string(kMaxItemBytes) + " bytes";
    case ItemStatus::kReadError:
      return "Cannot read item " + std::to_string(itemNo) + " of the parameter file";
    case ItemStatus::kNotOpen:
    case ItemStatus::kOk:
      break;
  }
  return "Parameter file is not open";
}

// A file in the directory of `path` whose name equals the name of `path` in
// other letter case, if there is one.
std::optional<std::string> CaseVariant(const std::string& path) {
  fs::path p = os::PathFromUtf8(path);
  fs::path dir = p.parent_path();
  if (dir.empty()) dir = ".";
  std::string want = os::Utf8FromPath(p.filename());
  std::transform(want.begin(), want.end(), want.begin(), AsciiLower);
  std::error_code ec;
  fs::directory_iterator it(dir, ec), end;
  for (; !ec && it != end; it.increment(ec)) {
    std::string name = os::Utf8FromPath(it->path().filename());
    std::string lower = name;
    std::transform(lower.begin(), lower.end(), lower.begin(), AsciiLower);
    if (lower == want) return name;
  }
  return std::nullopt;
}

// Reads the first kImageSize bytes of `path` into ImageBuf. ImageBuf is
// written only after the whole image has been read.
std::optional<std::string> LoadImage(const std::string& path) {
  const fs::path file = os::PathFromUtf8(path);
  std::error_code ec;
  fs::file_status st = fs::status(file, ec);
  if (ec && ec != std::errc::no_such_file_or_directory && ec != std::errc::not_a_directory) {
    return "Cannot access firmware image " + Quoted(path) + ": " + ec.message();
  }
  if (!fs::exists(st)) {
    if (auto other = CaseVariant(path)) {
      return "Firmware image " + Quoted(path) + " not found; there is " + Quoted(*other) +
             ", but the image name must end in \"bin\" in exactly this case";
    }
    return "Firmware image " + Quoted(path) + " not found";
  }
  if (!fs::is_regular_file(st)) return "Firmware image " + Quoted(path) + " is not a file";

  std::ifstream in(file, std::ios::binary);
  if (!in) return "Cannot open firmware image " + Quoted(path);
  // The temporary starts on a 64-byte boundary like ImageBuf (over-allocated
  // plain heap memory: malloc reuses it from one load to the next, where an
  // aligned allocation of this size would be mapped and faulted in each time).
  auto raw = std::make_unique_for_overwrite<uint8_t[]>(kImageSize + 64);
  auto* image = reinterpret_cast<uint8_t*>((reinterpret_cast<uintptr_t>(raw.get()) + 63) &
                                           ~static_cast<uintptr_t>(63));
  in.read(reinterpret_cast<char*>(image), static_cast<std::streamsize>(kImageSize));
  auto got = static_cast<size_t>(in.gcount());
  if (in.bad()) return "Cannot read firmware image " + Quoted(path);
  if (got < kImageSize) {
    return "Firmware image " + Quoted(path) + " is too short: " + std::to_string(got) + " of " +
           std::to_string(kImageSize) + " bytes";
  }
  std::memcpy(ImageBuf.data(), image, kImageSize);
  return std::nullopt;
}

}  // namespace

// ---------------------------------------------------------------------------
// ParameterFile

ParameterFile::ParameterFile() = default;
ParameterFile::~ParameterFile() = default;
ParameterFile::ParameterFile(ParameterFile&&) noexcept = default;
ParameterFile& ParameterFile::operator=(ParameterFile&&) noexcept = default;

bool ParameterFile::Open(const std::string& path, std::string* error) {
  Close();
  auto fail = [&](const std::string& why) {
    if (error) *error = "Cannot open parameter file " + Quoted(path) + ": " + why;
    return false;
  };
  const fs::path file_path = os::PathFromUtf8(path);
  std::error_code ec;
  fs::file_status st = fs::status(file_path, ec);
  if (!fs::exists(st)) return fail(ec ? ec.message() : "not found");
  // Opening a pipe or a device could block or never end; only plain files.
  if (!fs::is_regular_file(st)) return fail("not a regular file");
  auto file = std::make_unique<std::ifstream>(file_path, std::ios::binary);
  if (!file->is_open()) return fail("cannot be read");
  in_ = std::move(file);
  return true;
}

void ParameterFile::OpenBuffer(std::string contents) {
  Close();
  in_ = std::make_unique<std::istringstream>(std::move(contents), std::ios::binary);
}

void ParameterFile::Close() {
  in_.reset();
}

bool ParameterFile::IsOpen() const {
  return in_ != nullptr;
}

int ParameterFile::Get() {
  auto c = in_->get();
  return c == std::char_traits<char>::eof() ? -1 : c;
}

int ParameterFile::Peek() {
  auto c = in_->peek();
  return c == std::char_traits<char>::eof() ? -1 : c;
}

ItemStatus ParameterFile::ReadItem(std::string& item) {
  item.clear();
  if (!in_) return ItemStatus::kNotOpen;
  size_t consumed = 0;
  auto take = [&] {
    ++consumed;
    return Get();
  };
  auto endOfLine = [&] {
    if (take() == '\r' && Peek() == '\n') take();
  };
  auto atEnd = [&] { return in_->bad() ? ItemStatus::kReadError : ItemStatus::kOk; };

  int c = Peek();
  while (IsBlank(c)) {
    take();
    if (consumed > kMaxItemBytes) return ItemStatus::kTooLong;
    c = Peek();
  }
  if (c < 0) return in_->bad() ? ItemStatus::kReadError : ItemStatus::kEnd;

  if (c == '"') {
    take();
    for (;;) {
      if (consumed > kMaxItemBytes) return ItemStatus::kTooLong;
      c = Peek();
      if (c < 0) return atEnd();
      if (c == '\r' || c == '\n') {
        endOfLine();
        return ItemStatus::kOk;
      }
      take();
      if (c == '"') break;
      item.push_back(static_cast<char>(c));
    }
    // Whatever follows the closing quote up to the delimiter is not part of the item.
    for (;;) {
      if (consumed > kMaxItemBytes) return ItemStatus::kTooLong;
      c = Peek();
      if (c < 0) return atEnd();
      if (c == '\r' || c == '\n') {
        endOfLine();
        return ItemStatus::kOk;
      }
      if (take() == ',') return ItemStatus::kOk;
    }
  }

  for (;;) {
    if (consumed > kMaxItemBytes) return ItemStatus::kTooLong;
    c = Peek();
    if (c < 0) {
      if (in_->bad()) return ItemStatus::kReadError;
      break;
    }
    if (c == '\r' || c == '\n') {
      endOfLine();
      break;
    }
    take();
    if (c == ',') break;
    item.push_back(static_cast<char>(c));
  }
  while (!item.empty() && IsBlank(static_cast<unsigned char>(item.back()))) item.pop_back();
  return ItemStatus::kOk;
}

// ---------------------------------------------------------------------------
// Checks

int16_t ParamFileVersion(std::string_view header) {
  std::string_view tail = header.size() > 4 ? header.substr(header.size() - 4) : header;
  std::string compact;
  for (char ch : tail) {
    if (!IsBlank(static_cast<unsigned char>(ch))) compact.push_back(ch);
  }
  size_t len = DecimalPrefix(compact);
  if (len == 0) return 0;
  int16_t version = 0;
  if (WholeNumber(std::string_view(compact).substr(0, len), version) != WholeStatus::kOk) {
    return kInvalidVersion;
  }
  return version;
}

bool ModelMatches(std::string_view item, std::string_view comboEntry) {
  // A model of blanks and punctuation alone (":", "-", "") names no drive.
  if (std::none_of(item.begin(), item.end(), [](char c) {
        return IsDigit(c) || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
      })) {
    return false;
  }
  // "N:" in front of a scan entry is the target ID, not part of what the
  // drive reports; an item must not match it.
  size_t digits = 0;
  while (digits < comboEntry.size() && IsDigit(comboEntry[digits])) ++digits;
  if (digits > 0 && digits < comboEntry.size() && comboEntry[digits] == ':') {
    comboEntry.remove_prefix(digits + 1);
  }
  return comboEntry.find(item) != std::string_view::npos;
}

std::optional<std::string> HeaderCheck(const std::string& path, const std::string& comboIdText,
                                       ParameterFile& file) {
  std::string error;
  if (!file.Open(path, &error)) return error;
  return HeaderCheck(file, comboIdText);
}

std::optional<std::string> HeaderCheck(ParameterFile& file, const std::string& comboIdText) {
  auto fail = [&](std::string message) {
    file.Close();
    return std::optional<std::string>(std::move(message));
  };
  std::string header;
  if (auto st = file.ReadItem(header); st != ItemStatus::kOk) return fail(ItemFailure(st, 1));
  if (header.compare(0, kParamMagic.size(), kParamMagic) != 0 ||
      header.size() < kParamMagic.size()) {
    return fail(std::string(kMsgVersionUnmatch));
  }
  if (ParamFileVersion(header) != kParamFormatVersion) return fail(std::string(kMsgVersionUnmatch));

  std::string model;
  if (auto st = file.ReadItem(model); st != ItemStatus::kOk) return fail(ItemFailure(st, 2));
  if (!ModelMatches(model, comboIdText)) {
    return fail("Select '" + model + "'");
  }
  return std::nullopt;
}

std::optional<std::string> ReleaseLoad(ParameterFile& file, const std::string& firmwareDir,
                                       const std::string& label4, Release& out) {
  out = Release{};
  std::string error;
  {
    // The parameter file is closed on every way out of this block.
    struct Closer {
      ParameterFile& f;
      ~Closer() { f.Close(); }
    } closer{file};
    static constexpr const char* kFlagNames[] = {"area flag 0", "area flag 1", "area flag 2"};
    std::string item;
    for (int itemNo = 3; itemNo <= 10; ++itemNo) {
      if (auto st = file.ReadItem(item); st != ItemStatus::kOk) return ItemFailure(st, itemNo);
      if (itemNo == 4 || itemNo == 6 || itemNo == 8) {
        int area = (itemNo - 4) / 2;
        auto flag = FlagItem(item, itemNo, kFlagNames[area], error);
        if (!flag) return error;
        out.AreaFlag[area] = *flag;
      } else if (itemNo == 10) {
        auto sum = NumberItem(item, itemNo, "checksum", error);
        if (!sum) return error;
        out.ParamChecksum = *sum;
      }
    }
  }

  auto imageName = ImageFileName(label4);
  if (!imageName) {
    return "Cannot name the firmware image of " + Quoted(label4) +
           ": the name is shorter than three characters";
  }
  if (auto failure = LoadImage(firmwareDir + *imageName)) return failure;
  out.image_read = true;

  // The largest sum (66,846,720) is exact in a double, so the comparison is exact.
  if (static_cast<double>(ImageSum(ImageBuf)) != out.ParamChecksum) {
    return std::string(kMsgChecksum);
  }
  out.BlockMode = BuildBlockMode(out.AreaFlag);
  if (BlockModeSum(out.BlockMode) != kBlockModeSumOk) return std::string(kMsgProgramError);
  return std::nullopt;
}

// ---------------------------------------------------------------------------
// Image, blocks, names

uint64_t ImageSum(std::span<const uint8_t> bytes) {
  const uint8_t* p = bytes.data();
  const size_t n = bytes.size();
  size_t i = 0;
  uint64_t total = 0;
#if defined(__SSE2__) && defined(__x86_64__)
  // PSADBW against zero adds 8 bytes into a 64-bit lane in one step; two
  // accumulators keep the additions independent. Exact for any length.
  const __m128i zero = _mm_setzero_si128();
  __m128i acc0 = zero, acc1 = zero;
  for (; i + 32 <= n; i += 32) {
    __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 16));
    acc0 = _mm_add_epi64(acc0, _mm_sad_epu8(lo, zero));
    acc1 = _mm_add_epi64(acc1, _mm_sad_epu8(hi, zero));
  }
  __m128i acc = _mm_add_epi64(acc0, acc1);
  total = static_cast<uint64_t>(_mm_cvtsi128_si64(acc)) +
          static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(acc, acc)));
#endif
  for (; i < n; ++i) total += p[i];
  return total;
}

std::array<uint8_t, 16> BuildBlockMode(const std::array<int16_t, 3>& areaFlag) {
  std::array<uint8_t, 16> mode;
  mode.fill(kModeDownload);
  // The last block sent gets "download and save": the last block of the
  // highest area that is written.
  if (areaFlag[2] == 1) {
    mode[kAreaLastBlock[2]] = kModeDownloadAndSave;
  } else if (areaFlag[1] == 1) {
    mode[kAreaLastBlock[1]] = kModeDownloadAndSave;
  } else if (areaFlag[0] == 1) {
    mode[kAreaLastBlock[0]] = kModeDownloadAndSave;
  }
  return mode;
}

int BlockModeSum(const std::array<uint8_t, 16>& blockMode) {
  int sum = 0;
  for (uint8_t m : blockMode) sum += m;
  return sum;
}

std::vector<size_t> BlocksToSend(const Release& release) {
  std::vector<size_t> blocks;
  for (size_t area = 0; area < kAreaCount; ++area) {
    if (release.AreaFlag[area] != 1) continue;
    for (size_t b = kAreaFirstBlock[area]; b <= kAreaLastBlock[area]; ++b) blocks.push_back(b);
  }
  return blocks;
}

std::optional<std::string> ImageFileName(const std::string& label4) {
  if (label4.size() < 3) return std::nullopt;
  return label4.substr(0, label4.size() - 3) + "bin";
}

std::string JoinDir(const std::string& dir) {
  if (dir.empty()) return dir;
  constexpr char kSep = static_cast<char>(fs::path::preferred_separator);
  char last = dir.back();
  if (last == kSep || last == '/') return dir;
  return dir + kSep;
}

}  // namespace qx

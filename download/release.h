// Release files: the parameter file (*.OUB) and the 256 KiB firmware image
// beside it, how they are read, and the checks a release must pass before any
// command is sent to the drive.
//
// Parameter file reader (ParameterFile::ReadItem):
//  - Items are read one after another. Blanks (space, tab) in front of an item
//    are skipped.
//  - An unquoted item ends at a comma or at the end of its line. Lines end in
//    CR LF; a bare LF or a bare CR is accepted as a line end too. Blanks at the
//    end of an unquoted item are removed, so "QX-R4410  " reads as "QX-R4410"
//    (invisible trailing blanks would otherwise break the model test).
//  - An item that starts with a double quote is taken without its quotes and
//    may hold commas and blanks, which are kept exactly. It ends at the next
//    double quote; a missing closing quote ends it at the end of the line.
//    Anything between the closing quote and the next comma or line end is
//    discarded.
//  - An empty line, or the empty rest of a line after a comma, is an empty item.
//  - A free-text line with a comma outside quotes therefore shifts every later
//    item by one.
//  - The file has no item left when nothing but blanks remains.
//  - An item may take at most kMaxItemBytes bytes of input (blanks included);
//    a longer one is reported instead of being read without bound.
//
// Numbers (items 4, 6, 8 and 10): after the blanks are trimmed the whole item
// must be a plain decimal number: an optional sign, digits with an optional
// fraction, an optional exponent ("1", "+1", "-1", "1.0", "1e2", " 1 ").
// Hexadecimal ("0x1", "&H1"), empty items, "inf"/"nan" and text are errors,
// never 0. An area flag must be a whole number in the 16-bit signed range,
// decided exactly on its digits, never through a floating-point value ("1.0",
// "1e0" and "10e-1" are 1; "1.5", "1.0000000000000001", "0.99999999999999999"
// and "40000" are errors); only 1 sets an area. The checksum may be any finite
// decimal number; it is read as a double and compared numerically with the
// exact image sum.
//
// Model (item 2): see ModelMatches.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qx {

inline constexpr size_t kImageSize = 262144, kBlockSize = 16384, kBlockCount = 16;
inline constexpr size_t kAreaCount = 3;
// First and last block of each area: area 0 = blocks 0-1, 1 = 2-14, 2 = 15.
inline constexpr std::array<size_t, kAreaCount> kAreaFirstBlock{0, 2, 15};
inline constexpr std::array<size_t, kAreaCount> kAreaLastBlock{1, 14, 15};

inline constexpr uint8_t kModeDownload = 4;         // WRITE BUFFER: download microcode
inline constexpr uint8_t kModeDownloadAndSave = 5;  // ... and save (last block sent)
inline constexpr int kBlockModeSumOk = 65;

inline constexpr std::string_view kParamMagic = "AmbervaultParameterFile Ver.";
inline constexpr int16_t kParamFormatVersion = 2;
// ParamFileVersion's answer for a version that is not a whole 16-bit number.
inline constexpr int16_t kInvalidVersion = -32768;
inline constexpr size_t kMaxItemBytes = 65536;

// Messages shown to the operator.
inline constexpr std::string_view kMsgVersionUnmatch = "Parameter file version unmatch";
inline constexpr std::string_view kMsgChecksum = "File CheckSum Error";
inline constexpr std::string_view kMsgProgramError = "Program Error";

// The firmware image of the last load; keeps its contents between downloads.
extern std::array<uint8_t, kImageSize> ImageBuf;

// Puts the process-wide state of this module back to its start-up value
// (ImageBuf all zero).
void ResetReleaseState();

// What one download attempt reads from the parameter file and derives from it.
struct Release {
  std::array<int16_t, 3> AreaFlag{};
  double ParamChecksum = 0;
  std::array<uint8_t, 16> BlockMode{};
  // The load got as far as the image: ImageBuf holds it, and only the
  // checksum or the area check can have failed.
  bool image_read = false;
};

enum class ItemStatus { kOk, kEnd, kTooLong, kReadError, kNotOpen };

// Owner of the open parameter file (or of an in-memory copy of one). Reading
// is sequential, item by item; see the file comment for the item rules. The
// file is closed by Close() and by the destructor.
class ParameterFile {
 public:
  ParameterFile();
  ~ParameterFile();
  ParameterFile(ParameterFile&&) noexcept;
  ParameterFile& operator=(ParameterFile&&) noexcept;
  ParameterFile(const ParameterFile&) = delete;
  ParameterFile& operator=(const ParameterFile&) = delete;

  // Opens `path` for reading (closing whatever was open). False if it is not
  // a regular file or cannot be opened; `error` then says why.
  bool Open(const std::string& path, std::string* error = nullptr);
  // Reads from a copy of `contents` instead of a file.
  void OpenBuffer(std::string contents);
  void Close();
  bool IsOpen() const;

  // Reads the next item into `item`. kEnd: nothing is left in the file.
  ItemStatus ReadItem(std::string& item);

 private:
  int Get();   // next byte 0-255, or -1 at the end
  int Peek();  // the same without consuming it
  std::unique_ptr<std::istream> in_;
};

// Numeric value of the last four characters of a header: blanks are ignored,
// reading stops at the first character that cannot continue a decimal number,
// no digits give 0. A value that is not a whole number in the 16-bit range
// gives kInvalidVersion. "...0002", "...2.00", "...   2" give 2.
int16_t ParamFileVersion(std::string_view header);

// The model check: true when `item` (item 2) names the drive of `comboEntry`,
// a target entry as the bus scan makes it, "N:PRODUCT" (N the target ID).
// `item` must hold at least one letter or digit and occur, case-sensitively,
// in the product part after the leading digits and ':'; an entry without such
// a prefix is all product. So ":", "2:", "-" and "" match no drive.
bool ModelMatches(std::string_view item, std::string_view comboEntry);

// Opens `path` into `file`, reads items 1 and 2 and makes the version and model
// checks. nullopt: passed, `file` stays open after item 2. Otherwise the
// message to show; `file` is closed.
std::optional<std::string> HeaderCheck(const std::string& path, const std::string& comboIdText,
                                       ParameterFile& file);
// The same checks on a file already opened (for instance with OpenBuffer).
std::optional<std::string> HeaderCheck(ParameterFile& file, const std::string& comboIdText);

// Reads items 3-10 into `out`, closes `file` (on every path), loads the image
// firmwareDir + label4 without its last three characters + "bin" into ImageBuf,
// compares its sum with the checksum, builds BlockMode and checks it. nullopt:
// the release is ready for the transfer. Otherwise the message to show.
// ImageBuf changes only when the whole image was read.
std::optional<std::string> ReleaseLoad(ParameterFile& file, const std::string& firmwareDir,
                                       const std::string& label4, Release& out);

// Exact sum of all bytes.
uint64_t ImageSum(std::span<const uint8_t> bytes);

// 4 for every block, 5 for the last block that will be sent (if any).
std::array<uint8_t, 16> BuildBlockMode(const std::array<int16_t, 3>& areaFlag);
int BlockModeSum(const std::array<uint8_t, 16>& blockMode);

// Blocks sent for `release`, in sending order: areas 0, 1, 2 whose flag is 1.
std::vector<size_t> BlocksToSend(const Release& release);

// The image file that belongs to the parameter file named `label4`, or
// nullopt when the name is too short to have its last three characters replaced.
std::optional<std::string> ImageFileName(const std::string& label4);

// `dir` followed by the platform's directory separator unless it already ends
// in one. An empty `dir` stays empty (relative to the current directory).
std::string JoinDir(const std::string& dir);

}  // namespace qx

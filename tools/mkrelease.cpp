// qx_mkrelease: writes a release pair NAME.OUB + NAME.bin for the QX-R4410,
// either around a synthetic image or around an existing one, and broken
// variants of it for testing the release checks.
#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "download/release.h"
#include "platform/os.h"
#include "tools/release_writer.h"

namespace {

constexpr const char* kUsage = R"(usage: qx_mkrelease --dir DIR --name NAME [options]

Writes DIR/NAME.OUB (parameter file, CR LF lines) and DIR/NAME.bin (262144 bytes).

  --flags A,B,C         area flags 0,1,2 as written in items 4, 6, 8 (default 1,1,1)
  --model TEXT          item 2, the drive model (default QX-R4410)
  --fw-version TEXT     firmware version stamped into the image, at most 18
                        characters, padded with blanks (default "1.20 2026/12/01")
  --seed N              seed of the synthetic image pattern (default 1)
  --image FILE          use the first 262144 bytes of FILE instead of the pattern;
                        the version is stamped only if --fw-version is given
  --header TEXT         item 1 (default "AmbervaultParameterFile Ver.0002")
  --free N=TEXT         free text of item N (3, 5, 7 or 9), written as given
Broken variants:
  --checksum-delta N    write a checksum that is off by N
  --image-bytes N       write only the first N bytes of the image
  --no-image            write no image at all
)";

struct Options {
  std::string dir;
  std::string name;
  qx::tools::ReleaseRecipe recipe;
  std::optional<std::string> fwVersion;
  uint32_t seed = 1;
  std::optional<std::string> imageFrom;
  std::optional<size_t> imageBytes;
  bool noImage = false;
};

int Fail(const std::string& message) {
  std::cerr << "qx_mkrelease: " << message << "\n";
  return 2;
}

template <typename T>
bool ParseInt(std::string_view text, T& value) {
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size() && !text.empty();
}

bool SplitFlags(std::string_view text, std::array<std::string, 3>& flags) {
  for (size_t i = 0; i < 3; ++i) {
    size_t comma = text.find(',');
    if ((i < 2) != (comma != std::string_view::npos)) return false;
    flags[i] = std::string(text.substr(0, comma));
    text = i < 2 ? text.substr(comma + 1) : std::string_view{};
  }
  return true;
}

// Parses the command line; returns an error message or nullopt.
std::optional<std::string> Parse(const std::vector<std::string>& args, Options& opt) {
  const size_t argc = args.size();
  for (size_t i = 0; i < argc; ++i) {
    std::string_view arg = args[i];
    if (arg == "--no-image") {
      opt.noImage = true;
      continue;
    }
    if (arg == "--help" || arg == "-h") return std::string("help");
    if (i + 1 >= argc) return "missing value after " + std::string(arg);
    std::string value = args[++i];
    if (arg == "--dir") {
      opt.dir = value;
    } else if (arg == "--name") {
      opt.name = value;
    } else if (arg == "--flags") {
      if (!SplitFlags(value, opt.recipe.flags)) return "--flags needs three values: A,B,C";
    } else if (arg == "--model") {
      opt.recipe.model = value;
    } else if (arg == "--fw-version") {
      if (value.size() > qx::kFirmwareVersionLength) {
        return "--fw-version holds at most " + std::to_string(qx::kFirmwareVersionLength) +
               " characters";
      }
      opt.fwVersion = value;
    } else if (arg == "--seed") {
      if (!ParseInt(value, opt.seed)) return "--seed needs a number";
    } else if (arg == "--image") {
      opt.imageFrom = value;
    } else if (arg == "--header") {
      opt.recipe.header = value;
    } else if (arg == "--free") {
      size_t eq = value.find('=');
      int item = 0;
      if (eq == std::string::npos || !ParseInt(std::string_view(value).substr(0, eq), item) ||
          (item != 3 && item != 5 && item != 7 && item != 9)) {
        return "--free needs N=TEXT with N = 3, 5, 7 or 9";
      }
      opt.recipe.freeText[static_cast<size_t>((item - 3) / 2)] = value.substr(eq + 1);
    } else if (arg == "--checksum-delta") {
      if (!ParseInt(value, opt.recipe.checksumDelta)) return "--checksum-delta needs a number";
    } else if (arg == "--image-bytes") {
      size_t n = 0;
      if (!ParseInt(value, n) || n > qx::kImageSize) {
        return "--image-bytes needs a number from 0 to " + std::to_string(qx::kImageSize);
      }
      opt.imageBytes = n;
    } else {
      return "unknown option " + std::string(arg);
    }
  }
  if (opt.dir.empty() || opt.name.empty()) return std::string("--dir and --name are required");
  return std::nullopt;
}

std::optional<std::vector<uint8_t>> ReadImage(const std::string& path, std::string& error) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(qx::os::PathFromUtf8(path), ec)) {
    error = "image " + path + " is not a readable file";
    return std::nullopt;
  }
  std::ifstream in(qx::os::PathFromUtf8(path), std::ios::binary);
  std::vector<uint8_t> image(qx::kImageSize);
  in.read(reinterpret_cast<char*>(image.data()), static_cast<std::streamsize>(image.size()));
  if (static_cast<size_t>(in.gcount()) < qx::kImageSize) {
    error = "image " + path + " holds fewer than " + std::to_string(qx::kImageSize) + " bytes";
    return std::nullopt;
  }
  return image;
}

bool WriteFile(const std::string& path, const char* data, size_t size) {
  std::ofstream out(qx::os::PathFromUtf8(path), std::ios::binary | std::ios::trunc);
  out.write(data, static_cast<std::streamsize>(size));
  out.close();
  return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  if (auto error = Parse(qx::os::ProgramArguments(argc, argv), opt)) {
    if (*error == "help") {
      std::cout << kUsage;
      return 0;
    }
    std::cerr << kUsage;
    return Fail(*error);
  }

  std::vector<uint8_t> image;
  if (opt.imageFrom) {
    std::string error;
    auto read = ReadImage(*opt.imageFrom, error);
    if (!read) return Fail(error);
    image = std::move(*read);
    if (opt.fwVersion) qx::tools::StampFirmwareVersion(image, *opt.fwVersion);
  } else {
    image = qx::tools::SyntheticImage(
        opt.fwVersion.value_or(std::string(qx::tools::kDefaultFirmwareVersion)), opt.seed);
  }
  uint64_t sum = qx::ImageSum(image);

  std::string base = qx::JoinDir(opt.dir) + opt.name;
  std::string text = qx::tools::ParameterFileText(opt.recipe, sum);
  if (!WriteFile(base + ".OUB", text.data(), text.size())) {
    return Fail("cannot write " + base + ".OUB");
  }
  std::cout << "wrote " << base << ".OUB (checksum "
            << static_cast<int64_t>(sum) + opt.recipe.checksumDelta << ")\n";
  if (opt.noImage) {
    std::error_code ec;
    std::filesystem::remove(qx::os::PathFromUtf8(base + ".bin"), ec);
    return 0;
  }
  size_t bytes = opt.imageBytes.value_or(qx::kImageSize);
  if (!WriteFile(base + ".bin", reinterpret_cast<const char*>(image.data()), bytes)) {
    return Fail("cannot write " + base + ".bin");
  }
  std::cout << "wrote " << base << ".bin (" << bytes << " bytes, sum " << sum << ")\n";
  return 0;
}

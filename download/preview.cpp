#include "download/preview.h"

#include <algorithm>
#include <memory>

#include "download/firmware_tag.h"
#include "download/procedure.h"
#include "download/release.h"

namespace qx {

namespace {

// Keeps a copy of ImageBuf and puts it back when the preview returns: the
// release load reads the image into ImageBuf, and the image of the last
// download must stay there (the debug window's dump shows it).
class ImageBufKeeper {
 public:
  ImageBufKeeper() : saved_(std::make_unique<std::array<uint8_t, kImageSize>>(ImageBuf)) {}
  ~ImageBufKeeper() { ImageBuf = *saved_; }
  ImageBufKeeper(const ImageBufKeeper&) = delete;
  ImageBufKeeper& operator=(const ImageBufKeeper&) = delete;

 private:
  std::unique_ptr<std::array<uint8_t, kImageSize>> saved_;
};

// "0-1, 2-14" for blocks 0 1 2 ... 14: consecutive buffer IDs as ranges.
std::string BlockRanges(const std::vector<size_t>& blocks) {
  std::string out;
  for (size_t i = 0; i < blocks.size();) {
    size_t j = i;
    while (j + 1 < blocks.size() && blocks[j + 1] == blocks[j] + 1) ++j;
    if (!out.empty()) out += ", ";
    out += std::to_string(blocks[i]);
    if (j > i) out += "-" + std::to_string(blocks[j]);
    i = j + 1;
  }
  return out;
}

std::string Number(double value) {
  if (value >= -9e15 && value <= 9e15 &&
      value == static_cast<double>(static_cast<int64_t>(value))) {
    return std::to_string(static_cast<int64_t>(value));
  }
  return std::to_string(value);
}

}  // namespace

ReleasePreview PreviewRelease(const std::string& firmwareDir, const std::string& name,
                              const std::string& targetEntry) {
  ReleasePreview p;
  if (TrimSpaces(name).empty()) {
    p.message = "Set File Name";
    return p;
  }
  const ImageBufKeeper keep;
  ParameterFile file;
  if (auto message = HeaderCheck(firmwareDir + name, targetEntry, file)) {
    p.message = *message;
    return p;
  }
  Release release;
  const auto message = ReleaseLoad(file, firmwareDir, name, release);  // closes the file
  p.image_read = release.image_read;
  if (p.image_read) {
    p.area_flags = release.AreaFlag;
    p.checksum = release.ParamChecksum;
    p.image_sum = ImageSum(ImageBuf);
    p.checksum_matches = static_cast<double>(p.image_sum) == p.checksum;
    p.image_version = FindFirmwareVersion(ImageBuf);
    p.blocks = BlocksToSend(release);
  }
  if (message) {
    p.message = *message;
    return p;
  }
  p.ok = true;
  return p;
}

std::string PreviewText(const ReleasePreview& p) {
  if (!p.ok) {
    std::string text = "Download would stop: \"" + p.message + "\"";
    if (p.image_read && !p.checksum_matches) {
      text += " (file checksum " + Number(p.checksum) + ", image sum " +
              std::to_string(p.image_sum) + ")";
    }
    return text;
  }
  std::string areas;
  int count = 0;
  for (size_t a = 0; a < p.area_flags.size(); ++a) {
    if (p.area_flags[a] != 1) continue;
    areas += (count++ == 0 ? "" : ", ") + std::to_string(a);
  }
  std::string text = (count == 1 ? "Area " : "Areas ") + areas + ": blocks " +
                     BlockRanges(p.blocks) + " (" + std::to_string(p.blocks.size()) +
                     " of 16); checksum " + std::to_string(p.image_sum) + " matches";
  if (p.image_version) text += "; image version " + TrimSpaces(*p.image_version);
  return text;
}

}  // namespace qx

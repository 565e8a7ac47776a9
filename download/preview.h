// What "Download Start" would find in a release, worked out when the operator
// chooses the file: the checks of the parameter file and the image, read only,
// with nothing sent to the drive. The checks of the download itself are not
// touched by this; a file changed between the choice and the click is checked
// again then.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qx {

struct ReleasePreview {
  bool ok = false;      // every check would pass
  std::string message;  // otherwise the box text the download would show
  // The rest is known once the image was read (the load got as far as the
  // checksum check).
  bool image_read = false;
  std::array<int16_t, 3> area_flags{};
  double checksum = 0;     // the parameter file's checksum item
  uint64_t image_sum = 0;  // exact sum of the image's bytes
  bool checksum_matches = false;
  std::vector<size_t> blocks;                // buffer IDs that would be sent, in order
  std::optional<std::string> image_version;  // the image's own version tag (18 bytes)
};

// Runs the header check and the release load of `name` in `firmwareDir` (with
// its separator) against the target entry `targetEntry`, as "Download Start"
// would, and closes the parameter file again. ImageBuf is the same afterwards
// as before, on every path; nothing is sent on the bus.
ReleasePreview PreviewRelease(const std::string& firmwareDir, const std::string& name,
                              const std::string& targetEntry);

// One line for the operator: the areas and blocks that would be written and
// the checksum, or the message the download would stop with.
std::string PreviewText(const ReleasePreview& preview);

}  // namespace qx

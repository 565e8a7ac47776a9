#include "ui/download_guards.h"

#include <string_view>
#include <vector>

#include "decode/decode.h"
#include "text/text.h"

namespace qx {

namespace {

constexpr uint8_t kCdDvdDevice = 5;
// Mount points a refusal names before it only counts the rest, and how much
// of each it quotes.
constexpr size_t kMountsNamed = 5;
constexpr size_t kMountQuoted = 200;

// "a disk", "an optical memory drive".
std::string WithArticle(std::string_view name) {
  const bool vowel =
      !name.empty() && std::string_view("aeiou").find(name[0]) != std::string_view::npos;
  return (vowel ? "an " : "a ") + std::string(name);
}

}  // namespace

GuardVerdict TargetTypeVerdict(int target, std::optional<uint8_t> peripheral) {
  const std::string who = "target " + std::to_string(target);
  if (!peripheral) {
    return {.refusal = "The device type of " + who +
                       " is not known (its last INQUIRY failed): run SCSI Rescan and choose it "
                       "again",
            .note = {}};
  }
  const uint8_t qualifier = *peripheral >> 5;
  const uint8_t type = *peripheral & 0x1F;
  if (qualifier != 0) {
    return {.refusal = who + " has no device connected (peripheral qualifier " +
                       std::to_string(qualifier) + "), not a DVD drive",
            .note = {}};
  }
  if (type != kCdDvdDevice) {
    return {.refusal = who + " is " + WithArticle(DeviceTypeName(type)) + " (type " +
                       std::to_string(type) + "), not a DVD drive",
            .note = {}};
  }
  return {};
}

GuardVerdict PowerVerdictOf(const os::PowerState& state) {
  const os::PowerVerdict v = os::JudgePower(state);
  return {.refusal = v.refusal, .note = v.note};
}

DriveWork::DriveWork(std::shared_ptr<AspiManager> manager, uint8_t ha, uint8_t target, uint8_t lun,
                     std::string drive)
    : manager_(std::move(manager)), ha_(ha), target_(target), lun_(lun), drive_(std::move(drive)) {}

DriveWork::~DriveWork() {
  inhibitor_.reset();
  if (reserved_ && manager_) manager_->Release();
}

GuardVerdict DriveWork::Begin() {
  if (!manager_) return {};
  const auto mounts = manager_->MountPoints(ha_, target_, lun_);
  if (!mounts.empty()) {
    std::vector<std::string> named;
    for (size_t i = 0; i < mounts.size() && i < kMountsNamed; ++i) {
      named.push_back(Excerpt(mounts[i], kMountQuoted));
    }
    named.resize(mounts.size());  // the rest are only counted
    return {.refusal = "A file system from " + drive_ + " is mounted at " +
                       FirstAndCount(named, kMountsNamed) +
                       ": unmount it before writing firmware; nothing was sent to the drive",
            .note = {}};
  }
  if (auto refused = manager_->Reserve(ha_, target_, lun_)) {
    return {.refusal = *refused + ": close the program that uses " + drive_ +
                       " and start the download again; nothing was sent to the drive",
            .note = {}};
  }
  reserved_ = true;
  std::string unavailable;
  inhibitor_ = os::InhibitSleep("qxflash", "writing firmware to " + drive_, &unavailable);
  if (!inhibitor_) return {.refusal = {}, .note = unavailable};
  return {};
}

}  // namespace qx

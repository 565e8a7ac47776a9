// A manager that lets only read-only commands reach the bus it wraps: the
// rehearsal of a download (a dry run) goes through it, so that no change to
// the procedure can make a rehearsal write to the drive. INQUIRY, TEST UNIT
// READY, REQUEST SENSE, READ BUFFER and the vendor memory read pass; any
// other command is refused before it reaches the bus, with SRB_Status 0xE2
// (device access refused) and a note of what was refused.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "aspi/manager.h"

namespace qx {

// Whether the command in `cdb` (its first `length` bytes) only reads.
bool ReadOnlyCommand(const uint8_t* cdb, size_t length);

class ReadOnlyManager final : public AspiManager {
 public:
  explicit ReadOnlyManager(std::shared_ptr<AspiManager> bus);

  uint32_t GetASPI32SupportInfo() override { return bus_->GetASPI32SupportInfo(); }
  int32_t BCSendASPI32Command(void* srb, uint8_t* buffer) override;
  void Cancel(void* srb) override { bus_->Cancel(srb); }
  const char* Name() const override { return bus_->Name(); }
  bool Simulated() const override { return bus_->Simulated(); }
  std::string Notes() const override { return bus_->Notes(); }
  std::string LastHint() const override { return bus_->LastHint(); }
  Location DeviceLocation(uint8_t ha, uint8_t target, uint8_t lun) const override {
    return bus_->DeviceLocation(ha, target, lun);
  }
  // Looking at the mounts and taking the drive for this program send nothing
  // to the drive; they pass.
  std::vector<std::string> MountPoints(uint8_t ha, uint8_t target, uint8_t lun) override {
    return bus_->MountPoints(ha, target, lun);
  }
  std::optional<std::string> Reserve(uint8_t ha, uint8_t target, uint8_t lun) override {
    return bus_->Reserve(ha, target, lun);
  }
  void Release() override { bus_->Release(); }

  // The commands refused so far, as "3B 04 00 ..." lines of their CDBs.
  std::vector<std::string> Refused() const;
  const std::shared_ptr<AspiManager>& bus() const { return bus_; }

 private:
  std::shared_ptr<AspiManager> bus_;
  mutable std::mutex mutex_;
  std::vector<std::string> refused_;
};

}  // namespace qx

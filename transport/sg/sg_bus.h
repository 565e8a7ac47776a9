// ASPI manager backend for real drives on Linux: each execute request becomes
// one SG_IO ioctl on the drive's /dev/sgN node.
//
//   #include "transport/sg/sg_bus.h"
//   auto bus = qx::sg::MakeSgBus();
//   qx::InstallAspiManager(bus);
//   if (!bus->Warning().empty()) ...   // hosts or devices that are not mapped
//   ... after a failed command: bus->LastHint() says what to do about it.
//
// Requests complete synchronously inside BCSendASPI32Command (SG_IO blocks
// until the device answers or qx::ExecTimeout passes), so SRB_Status is final
// when the call returns and the call's result equals it. Cancel() has nothing
// to stop: by the time any caller can cancel a block, its submission has
// returned and the backend no longer holds the block or its buffer.
//
// The host/target map is read from sysfs when the bus is made and again at
// each host adapter inquiry of adapter 0, i.e. once per bus scan.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "aspi/manager.h"
#include "transport/sg/sg_system.h"
#include "transport/sg/sg_topology.h"

namespace qx::sg {

inline constexpr const char* kManagerId = "Linux SG_IO";

class SgBus final : public qx::AspiManager {
 public:
  explicit SgBus(std::shared_ptr<SgSystem> system);

  uint32_t GetASPI32SupportInfo() override;
  int32_t BCSendASPI32Command(void* srb, uint8_t* buffer) override;
  void Cancel(void* srb) override;
  const char* Name() const override { return "SCSI generic"; }
  std::string Notes() const override { return Warning(); }

  // Reads the host/target map again.
  void Rescan();
  // What the last map leaves out (more than eight hosts, other channels, ...);
  // empty when everything is mapped.
  std::string Warning() const;
  Topology CurrentTopology() const;

  // errno of the last request's OS failure (0 when it had none) and a
  // plain-English hint about the last request that did not succeed (empty after
  // a success).
  int LastErrno() const;
  std::string LastHint() const override;

 private:
  int32_t HostAdapterInquiry(SRB_HAInquiry* srb);
  int32_t Execute(SRB_ExecSCSICmd* srb, uint8_t* buffer);
  int32_t Finish(SRB_ExecSCSICmd* srb, uint8_t status, int err, std::string hint);
  int32_t AbsentTarget(SRB_ExecSCSICmd* srb, int err, std::string hint);

  std::shared_ptr<SgSystem> system_;
  mutable std::mutex mutex_;  // guards the members below
  Topology topology_;
  int last_errno_ = 0;
  std::string last_hint_;
};

// The backend on the real system.
std::shared_ptr<SgBus> MakeSgBus();

}  // namespace qx::sg

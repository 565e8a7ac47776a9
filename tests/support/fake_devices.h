// A device layer for the pass-through bus's tests: the scan it enumerates and
// each node's answers come from tables, and every call is recorded with its
// thread. Opens follow the rule both systems keep: an exclusive open fails
// while the node is open, and any open fails while it is open exclusively. A
// transfer can be held "in the kernel" (Hold, WaitInKernel, Release).
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "aspi/status_codes.h"
#include "tests/support/system.h"
#include "transport/passthrough/device.h"

namespace qx::passthrough::testing {

// How one node answers.
struct FakeUnit {
  std::optional<Failure> open_fails;
  std::optional<Failure> verify_fails;
  std::optional<std::string> hold_refuses;
  TransferResult answer;             // a transfer's result, residual as below
  std::vector<uint8_t> data;         // data-in bytes the device returns
  std::optional<uint32_t> residual;  // default: the data-in bytes not returned
  std::vector<std::string> mounts;
};

// One call, in order: "open", "open exclusive", "verify", "transfer", "back"
// (out of the kernel), "hold", "close".
struct Call {
  std::string what;
  std::string node;
  int id = 0;  // of the opened node
  std::thread::id thread;
};

// One transfer as the node saw it.
struct Sent {
  std::string node;
  int id = 0;
  ExecCommand command;
  const uint8_t* data = nullptr;
  std::vector<uint8_t> data_out;
  bool stop_signals_blocked = false;
};

// A device as an enumeration reports it, its node also its name.
inline Device FakeDevice(const std::string& name, std::optional<Address> address,
                         const std::string& product = "", const std::string& also = "") {
  Device d;
  d.address = address;
  d.node = d.name = name;
  d.product = product;
  d.also = also;
  return d;
}

inline Traits FakeTraits(const char* adapter = "host") {
  return {.name = "fake bus",
          .manager_id = "Fake manager",
          .adapter = adapter,
          .adapters = "hosts",
          .buffer_alignment = 4096,
          .limit_source = "the fake's limit"};
}

class FakeDevices final : public Devices {
 public:
  explicit FakeDevices(const Traits& traits = FakeTraits()) : Devices(traits) {}

  Scan Enumerate() override {
    std::lock_guard lock(mutex_);
    ++enumerations;
    return scan;
  }
  Opened Open(const Device& device, Share share, uint32_t) override {
    std::lock_guard lock(mutex_);
    const bool exclusive = share == Share::kExclusive;
    Record(exclusive ? "open exclusive" : "open", device.node, 0);
    if (const auto& fails = units[device.node].open_fails) return {nullptr, *fails};
    const bool open = std::any_of(open_.begin(), open_.end(),
                                  [&](const auto& n) { return n.second == device.node; });
    if (exclusive_.count(device.node) != 0 || (exclusive && open)) {
      return {nullptr, Failure{16, SS_BC_IN_USE, 0, device.node + " is in use"}};
    }
    const int id = next_id_++;
    open_[id] = device.node;
    if (exclusive) exclusive_.insert(device.node);
    return {std::make_unique<FakeNode>(*this, device.node, id), {}};
  }
  std::vector<std::string> MountPoints(const Device& device) override {
    std::lock_guard lock(mutex_);
    Record("mounts", device.node, 0);
    return units[device.node].mounts;
  }

  bool IsOpen(const std::string& node) {
    std::lock_guard lock(mutex_);
    return std::any_of(open_.begin(), open_.end(), [&](const auto& n) { return n.second == node; });
  }
  bool NothingOpen() {
    std::lock_guard lock(mutex_);
    return open_.empty();
  }
  // The calls named `what` (all when empty) on `node` (any when empty).
  std::vector<Call> Calls(const std::string& what = "", const std::string& node = "") {
    std::lock_guard lock(mutex_);
    std::vector<Call> out;
    for (const Call& c : calls) {
      if ((what.empty() || c.what == what) && (node.empty() || c.node == node)) out.push_back(c);
    }
    return out;
  }
  std::vector<Sent> SentNow() {
    std::lock_guard lock(mutex_);
    return sent;
  }
  void Forget() {
    std::lock_guard lock(mutex_);
    calls.clear();
    sent.clear();
  }

  // Transfers wait while held; WaitInKernel returns once one is waiting.
  void Hold() {
    std::lock_guard lock(gate_mutex_);
    held_ = true;
  }
  void Release() {
    {
      std::lock_guard lock(gate_mutex_);
      held_ = false;
    }
    gate_.notify_all();
  }
  void WaitInKernel() {
    std::unique_lock lock(gate_mutex_);
    gate_.wait(lock, [this] { return in_kernel_; });
  }

  Scan scan;
  std::map<std::string, FakeUnit> units;  // by node
  int enumerations = 0;

 private:
  class FakeNode final : public Node {
   public:
    FakeNode(FakeDevices& devices, std::string node, int id)
        : devices_(devices), node_(std::move(node)), id_(id) {}
    ~FakeNode() override { devices_.Closed(node_, id_); }
    std::optional<Failure> Verify(uint32_t) override {
      std::lock_guard lock(devices_.mutex_);
      devices_.Record("verify", node_, id_);
      return devices_.units[node_].verify_fails;
    }
    std::optional<std::string> Hold() override {
      std::lock_guard lock(devices_.mutex_);
      devices_.Record("hold", node_, id_);
      return devices_.units[node_].hold_refuses;
    }
    TransferResult Transfer(const ExecCommand& c, uint8_t* data) override {
      return devices_.Transfer(node_, id_, c, data);
    }

   private:
    FakeDevices& devices_;
    const std::string node_;
    const int id_;
  };

  void Record(const std::string& what, const std::string& node, int id) {
    calls.push_back({what, node, id, std::this_thread::get_id()});
  }
  void Closed(const std::string& node, int id) {
    std::lock_guard lock(mutex_);
    Record("close", node, id);
    open_.erase(id);
    if (std::none_of(open_.begin(), open_.end(), [&](const auto& n) { return n.second == node; })) {
      exclusive_.erase(node);
    }
  }
  TransferResult Transfer(const std::string& node, int id, const ExecCommand& c, uint8_t* data) {
    FakeUnit unit;
    {
      std::lock_guard lock(mutex_);
      Record("transfer", node, id);
      Sent s{node, id, c, data, {}, qx::test::StopSignalsBlocked()};
      if (c.direction == Direction::kOut) s.data_out.assign(data, data + c.length);
      sent.push_back(std::move(s));
      unit = units[node];
    }
    {
      std::unique_lock lock(gate_mutex_);
      in_kernel_ = true;
      gate_.notify_all();
      gate_.wait(lock, [this] { return !held_; });
      in_kernel_ = false;
    }
    TransferResult r = unit.answer;
    const uint32_t length = c.direction == Direction::kNone ? 0 : c.length;
    uint32_t copied = 0;
    if (c.direction == Direction::kIn) {
      copied = static_cast<uint32_t>(std::min<size_t>(unit.data.size(), length));
      if (copied > 0) std::memcpy(data, unit.data.data(), copied);
    }
    r.residual = unit.residual.value_or(c.direction == Direction::kIn ? length - copied : 0);
    std::lock_guard lock(mutex_);
    Record("back", node, id);
    return r;
  }

  std::mutex mutex_;
  std::vector<Call> calls;
  std::vector<Sent> sent;
  std::map<int, std::string> open_;
  std::set<std::string> exclusive_;
  int next_id_ = 1;
  std::mutex gate_mutex_;
  std::condition_variable gate_;
  bool held_ = false;
  bool in_kernel_ = false;
};

}  // namespace qx::passthrough::testing

#include "aspi/manager.h"

#include <atomic>
#include <mutex>

namespace qx {

int16_t AspiStatus = 0;

namespace {
std::mutex g_mutex;
std::shared_ptr<AspiManager> g_manager;  // owns the backend
// The same backend for the per-command calls, read without a lock or a
// reference count: backends are installed at start-up and removed at shutdown,
// on the thread that sends the commands.
std::atomic<AspiManager*> g_current{nullptr};
}  // namespace

void InstallAspiManager(std::shared_ptr<AspiManager> manager) {
  std::lock_guard lock(g_mutex);
  g_current.store(manager.get(), std::memory_order_release);
  g_manager = std::move(manager);
}

std::shared_ptr<AspiManager> InstalledAspiManager() {
  std::lock_guard lock(g_mutex);
  return g_manager;
}

uint32_t GetASPI32SupportInfo() {
  AspiManager* m = g_current.load(std::memory_order_acquire);
  return m ? m->GetASPI32SupportInfo() : 0;
}

int32_t BCSendASPI32Command(void* srb, uint8_t* buffer) {
  AspiManager* m = g_current.load(std::memory_order_acquire);
  if (!m) {
    StoreSrbStatus(srb, SS_BC_LIBRARY_MISSING);
    return SS_BC_LIBRARY_MISSING;
  }
  return m->BCSendASPI32Command(srb, buffer);
}

uint8_t LoadSrbStatus(const void* srb) {
  auto* hdr = const_cast<SRB_Header*>(static_cast<const SRB_Header*>(srb));
  return std::atomic_ref<uint8_t>(hdr->SRB_Status).load(std::memory_order_acquire);
}

void StoreSrbStatus(void* srb, uint8_t status) {
  auto* hdr = static_cast<SRB_Header*>(srb);
  std::atomic_ref<uint8_t>(hdr->SRB_Status).store(status, std::memory_order_release);
}

int16_t ASPICheck() {
  AspiStatus = static_cast<int16_t>(GetASPI32SupportInfo() / 256);
  return AspiStatus;
}

}  // namespace qx

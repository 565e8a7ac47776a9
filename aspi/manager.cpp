#include "aspi/manager.h"

#include <atomic>
#include <mutex>

namespace qx {

int16_t AspiStatus = 0;

namespace {
std::mutex g_mutex;
std::shared_ptr<AspiManager> g_manager;
constexpr int32_t kLibraryNotFound = 0xFC;
}  // namespace

void InstallAspiManager(std::shared_ptr<AspiManager> manager) {
  std::lock_guard lock(g_mutex);
  g_manager = std::move(manager);
}

std::shared_ptr<AspiManager> InstalledAspiManager() {
  std::lock_guard lock(g_mutex);
  return g_manager;
}

uint32_t GetASPI32SupportInfo() {
  auto m = InstalledAspiManager();
  return m ? m->GetASPI32SupportInfo() : 0;
}

int32_t BCSendASPI32Command(void* srb, uint8_t* buffer) {
  auto m = InstalledAspiManager();
  if (!m) {
    StoreSrbStatus(srb, kLibraryNotFound);
    return kLibraryNotFound;
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

// Test double for the SCSI pass-through device layer: device nodes, drive
// letters and DeviceIoControl answered from tables with the structures of
// <ntddscsi.h> and <winioctl.h>, on one thread.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "transport/spti/spti_scan.h"
#include "transport/spti/spti_system.h"

namespace qx::spti::testing {

using Bytes = std::vector<uint8_t>;

// The answer to a pass-through.
struct FakeAnswer {
  DWORD error = 0;                   // DeviceIoControl fails with this
  DWORD direct_error = 0;            // ... only the direct form fails with this
  uint8_t status = 0;                // ScsiStatus
  Bytes sense;                       // written up to SenseInfoLength
  Bytes data;                        // data in
  std::optional<ULONG> transferred;  // DataTransferLength afterwards (default: unchanged,
                                     // or data.size() for data in)
};

// One logical unit of a port's listing.
struct FakeUnit {
  uint8_t path = 0;
  uint8_t target = 0;
  uint8_t lun = 0;
  bool claimed = true;
  std::string name = {};  // vendor (8) + product (16)
  uint8_t type = 5;
};

// A SCSI_ADAPTER_BUS_INFO answer as a port driver lays it out.
inline Bytes InquiryData(const std::vector<uint8_t>& initiators,
                         const std::vector<FakeUnit>& units) {
  const size_t head =
      offsetof(SCSI_ADAPTER_BUS_INFO, BusData) + initiators.size() * sizeof(SCSI_BUS_DATA);
  Bytes out((head + 7) / 8 * 8, 0);
  out[0] = static_cast<uint8_t>(initiators.size());
  std::vector<size_t> last(initiators.size(), 0);
  for (size_t b = 0; b < initiators.size(); ++b) {
    auto* bus = reinterpret_cast<SCSI_BUS_DATA*>(
        out.data() + offsetof(SCSI_ADAPTER_BUS_INFO, BusData) + b * sizeof(SCSI_BUS_DATA));
    bus->InitiatorBusId = initiators[b];
  }
  for (const FakeUnit& u : units) {
    const size_t at = out.size();
    const size_t size = offsetof(SCSI_INQUIRY_DATA, InquiryData) + 36;
    out.resize(at + (size + 7) / 8 * 8, 0);
    auto* d = reinterpret_cast<SCSI_INQUIRY_DATA*>(out.data() + at);
    d->PathId = u.path;
    d->TargetId = u.target;
    d->Lun = u.lun;
    d->DeviceClaimed = u.claimed;
    d->InquiryDataLength = 36;
    uint8_t* inq = out.data() + at + offsetof(SCSI_INQUIRY_DATA, InquiryData);
    inq[0] = u.type;
    std::memset(inq + 8, ' ', 24);
    std::memcpy(inq + 8, u.name.data(), std::min<size_t>(u.name.size(), 24));
    auto* bus = reinterpret_cast<SCSI_BUS_DATA*>(
        out.data() + offsetof(SCSI_ADAPTER_BUS_INFO, BusData) + u.path * sizeof(SCSI_BUS_DATA));
    if (last[u.path] == 0) {
      bus->InquiryDataOffset = static_cast<ULONG>(at);
    } else {
      reinterpret_cast<SCSI_INQUIRY_DATA*>(out.data() + last[u.path])->NextInquiryDataOffset =
          static_cast<ULONG>(at);
    }
    bus->NumberOfLogicalUnits++;
    last[u.path] = at;
  }
  return out;
}

struct FakeNode {
  DWORD open_error = 0;
  std::optional<Address> address;
  DWORD address_error = ERROR_INVALID_FUNCTION;  // with no address
  std::optional<DeviceNumber> number;
  DWORD number_error = ERROR_INVALID_FUNCTION;
  std::optional<int> bus_type;  // StorageDeviceProperty answers when set
  std::string vendor;
  std::string product;
  DWORD property_error = ERROR_NOT_SUPPORTED;
  std::optional<IO_SCSI_CAPABILITIES> caps;
  DWORD caps_error = ERROR_NOT_SUPPORTED;
  std::optional<STORAGE_ADAPTER_DESCRIPTOR> adapter;  // StorageAdapterProperty
  std::optional<Bytes> inquiry_data;                  // a port's listing
  DWORD all_error = 0;   // every ioctl fails with this (wine past its fifth node)
  DWORD lock_error = 0;  // FSCTL_LOCK_VOLUME fails with this
  FakeAnswer answer;
};

inline IO_SCSI_CAPABILITIES Caps(ULONG max, ULONG pages, ULONG mask) {
  IO_SCSI_CAPABILITIES c{};
  c.Length = sizeof c;
  c.MaximumTransferLength = max;
  c.MaximumPhysicalPages = pages;
  c.AlignmentMask = mask;
  return c;
}

// One pass-through as the fake saw it.
struct Seen {
  HANDLE handle = nullptr;
  std::wstring path;
  DWORD code = 0;
  Bytes cdb;
  UCHAR data_in = 0;
  ULONG length = 0;
  ULONG timeout = 0;
  UCHAR sense_len = 0;
  UCHAR path_id = 0, target_id = 0, lun = 0;
  const void* data_buffer = nullptr;  // the direct form's buffer
  Bytes data_out;
};

class FakeSystem : public SptiSystem {
 public:
  FakeNode& Node(const std::wstring& path) { return nodes[path]; }
  FakeNode& Node(const std::wstring& path, Address a) {
    FakeNode& n = nodes[path];
    n.address = a;
    return n;
  }

  // Sharing as Windows checks it: an unshared handle of a node refuses every
  // other open of it, and an unshared open fails while the node is open.
  Opened Open(const std::wstring& path, DWORD access, OpenMode mode) override {
    opens.push_back(path);
    open_modes.push_back(mode);
    last_access = access;
    auto it = nodes.find(path);
    if (it == nodes.end()) return {INVALID_HANDLE_VALUE, ERROR_FILE_NOT_FOUND};
    if (it->second.open_error != 0) return {INVALID_HANDLE_VALUE, it->second.open_error};
    for (const auto& [h, p] : open_handles) {
      if (p == path && (mode.share == 0 || handle_modes[h].share == 0)) {
        return {INVALID_HANDLE_VALUE, ERROR_SHARING_VIOLATION};
      }
    }
    const HANDLE h = reinterpret_cast<HANDLE>(next_handle_++);
    open_handles[h] = path;
    handle_modes[h] = mode;
    return {h, 0};
  }
  void Close(HANDLE h) override {
    closes.push_back(h);
    if (locked.count(h) != 0) closed_locked = true;
    open_handles.erase(h);
    handle_modes.erase(h);
    locked.erase(h);
  }
  DWORD LogicalDrives() override { return 0; }
  UINT DriveType(wchar_t letter) override {
    auto it = drive_types.find(letter);
    return it == drive_types.end() ? DRIVE_NO_ROOT_DIR : it->second;
  }

  DWORD Ioctl(HANDLE h, DWORD code, void* in, DWORD in_size, void* out, DWORD out_size,
              DWORD* returned) override {
    auto it = open_handles.find(h);
    if (it == open_handles.end()) return ERROR_INVALID_HANDLE;
    const std::wstring path = it->second;
    const FakeNode node = nodes[path];
    ioctls.push_back({path, code});
    ioctl_handles.push_back(h);
    *returned = 0;
    if (node.all_error != 0) return node.all_error;
    switch (code) {
      case IOCTL_SCSI_GET_ADDRESS: {
        if (!node.address) return node.address_error;
        auto* a = static_cast<SCSI_ADDRESS*>(out);
        a->Length = sizeof *a;
        a->PortNumber = static_cast<UCHAR>(node.address->host);
        a->PathId = static_cast<UCHAR>(node.address->bus);
        a->TargetId = static_cast<UCHAR>(node.address->target);
        a->Lun = static_cast<UCHAR>(node.address->lun);
        *returned = sizeof *a;
        return 0;
      }
      case IOCTL_STORAGE_GET_DEVICE_NUMBER: {
        if (!node.number) return node.number_error;
        auto* n = static_cast<STORAGE_DEVICE_NUMBER*>(out);
        n->DeviceType = node.number->type;
        n->DeviceNumber = node.number->number;
        n->PartitionNumber = 0;
        *returned = sizeof *n;
        return 0;
      }
      case IOCTL_STORAGE_QUERY_PROPERTY:
        return Property(node, static_cast<const STORAGE_PROPERTY_QUERY*>(in), out, out_size,
                        returned);
      case IOCTL_SCSI_GET_CAPABILITIES:
        if (!node.caps) return node.caps_error;
        std::memcpy(out, &*node.caps, sizeof *node.caps);
        *returned = sizeof *node.caps;
        return 0;
      case IOCTL_SCSI_GET_INQUIRY_DATA:
        if (!node.inquiry_data) return ERROR_INVALID_FUNCTION;
        if (node.inquiry_data->size() > out_size) return ERROR_INSUFFICIENT_BUFFER;
        std::memcpy(out, node.inquiry_data->data(), node.inquiry_data->size());
        *returned = static_cast<DWORD>(node.inquiry_data->size());
        return 0;
      case IOCTL_SCSI_PASS_THROUGH_DIRECT:
      case IOCTL_SCSI_PASS_THROUGH:
        return PassThrough(h, path, node.answer, code, in, in_size, out, out_size, returned);
      case FSCTL_LOCK_VOLUME:
        if (node.lock_error != 0) return node.lock_error;
        locked.insert(h);
        return 0;
      case FSCTL_UNLOCK_VOLUME:
        return locked.erase(h) != 0 ? 0 : DWORD{ERROR_NOT_LOCKED};
      default:
        return ERROR_INVALID_FUNCTION;
    }
  }

  // The ioctls with `code` sent to `path`.
  size_t Count(const std::wstring& path, DWORD code) const {
    return std::count(ioctls.begin(), ioctls.end(), std::pair(path, code));
  }
  size_t CountOn(const std::wstring& path) const {
    return std::count_if(ioctls.begin(), ioctls.end(),
                         [&](const auto& p) { return p.first == path; });
  }
  // The open handle of `path`, or nullptr.
  HANDLE HandleOf(const std::wstring& path) const {
    for (const auto& [h, p] : open_handles) {
      if (p == path) return h;
    }
    return nullptr;
  }
  size_t OpensOf(const std::wstring& path) const {
    return std::count(opens.begin(), opens.end(), path);
  }
  bool WasOpened(const std::wstring& path) const {
    return std::find(opens.begin(), opens.end(), path) != opens.end();
  }

  std::map<std::wstring, FakeNode> nodes;  // by device path
  std::map<wchar_t, UINT> drive_types;     // DRIVE_NO_ROOT_DIR for the others
  std::map<HANDLE, std::wstring> open_handles;
  std::map<HANDLE, OpenMode> handle_modes;
  std::set<HANDLE> locked;     // handles with their volume locked
  bool closed_locked = false;  // a handle was closed with its volume still locked
  std::vector<HANDLE> closes;
  std::vector<std::wstring> opens;
  std::vector<OpenMode> open_modes;
  DWORD last_access = 0;
  std::vector<std::pair<std::wstring, DWORD>> ioctls;
  std::vector<HANDLE> ioctl_handles;  // the handle of each
  std::vector<Seen> seen;             // pass-throughs, in order

 private:
  static DWORD Property(const FakeNode& node, const STORAGE_PROPERTY_QUERY* q, void* out,
                        DWORD out_size, DWORD* returned) {
    if (q->PropertyId == StorageAdapterProperty) {
      if (!node.adapter) return ERROR_NOT_SUPPORTED;
      std::memcpy(out, &*node.adapter, sizeof *node.adapter);
      *returned = sizeof *node.adapter;
      return 0;
    }
    if (!node.bus_type) return node.property_error;
    auto* base = static_cast<uint8_t*>(out);
    auto* d = static_cast<STORAGE_DEVICE_DESCRIPTOR*>(out);
    std::memset(out, 0, out_size);
    size_t at = sizeof(STORAGE_DEVICE_DESCRIPTOR);
    auto put = [&](const std::string& s) -> DWORD {
      if (s.empty()) return 0;
      std::memcpy(base + at, s.c_str(), s.size() + 1);
      const DWORD offset = static_cast<DWORD>(at);
      at += s.size() + 1;
      return offset;
    };
    d->Version = sizeof *d;
    d->BusType = static_cast<STORAGE_BUS_TYPE>(*node.bus_type);
    d->VendorIdOffset = put(node.vendor);
    d->ProductIdOffset = put(node.product);
    d->Size = static_cast<DWORD>(at);
    *returned = static_cast<DWORD>(at);
    return 0;
  }

  DWORD PassThrough(HANDLE h, const std::wstring& path, const FakeAnswer& a, DWORD code, void* in,
                    DWORD in_size, void* out, DWORD out_size, DWORD* returned) {
    const bool direct = code == IOCTL_SCSI_PASS_THROUGH_DIRECT;
    if (in != out || in_size != out_size) return ERROR_INVALID_PARAMETER;
    // Both forms start with the same fields up to DataTransferLength and TimeOutValue.
    auto* p = static_cast<SCSI_PASS_THROUGH*>(out);
    auto* pd = static_cast<SCSI_PASS_THROUGH_DIRECT*>(out);
    if (p->Length != (direct ? sizeof(SCSI_PASS_THROUGH_DIRECT) : sizeof(SCSI_PASS_THROUGH))) {
      return ERROR_INVALID_PARAMETER;
    }
    uint8_t* data = nullptr;
    if (direct) {
      data = static_cast<uint8_t*>(pd->DataBuffer);
    } else if (p->DataTransferLength > 0) {
      if (p->DataBufferOffset + p->DataTransferLength > out_size) return ERROR_INVALID_PARAMETER;
      data = static_cast<uint8_t*>(out) + p->DataBufferOffset;
    }
    if (p->SenseInfoOffset + p->SenseInfoLength > out_size) return ERROR_INVALID_PARAMETER;
    Seen s;
    s.handle = h;
    s.path = path;
    s.code = code;
    s.cdb.assign(p->Cdb, p->Cdb + p->CdbLength);
    s.data_in = p->DataIn;
    s.length = p->DataTransferLength;
    s.timeout = p->TimeOutValue;
    s.sense_len = p->SenseInfoLength;
    s.path_id = p->PathId;
    s.target_id = p->TargetId;
    s.lun = p->Lun;
    s.data_buffer = direct ? pd->DataBuffer : nullptr;
    if (p->DataIn == SCSI_IOCTL_DATA_OUT && data != nullptr) {
      s.data_out.assign(data, data + p->DataTransferLength);
    }
    seen.push_back(s);
    if (direct && a.direct_error != 0) return a.direct_error;
    if (a.error != 0) return a.error;
    if (p->DataIn == SCSI_IOCTL_DATA_IN && data != nullptr) {
      std::memcpy(data, a.data.data(), std::min<size_t>(a.data.size(), p->DataTransferLength));
      p->DataTransferLength =
          static_cast<ULONG>(std::min<size_t>(a.data.size(), p->DataTransferLength));
    }
    if (a.transferred) p->DataTransferLength = *a.transferred;
    p->ScsiStatus = a.status;
    const size_t n = std::min<size_t>(a.sense.size(), p->SenseInfoLength);
    std::memcpy(static_cast<uint8_t*>(out) + p->SenseInfoOffset, a.sense.data(), n);
    p->SenseInfoLength = static_cast<UCHAR>(n);
    *returned = out_size;
    return 0;
  }

  uintptr_t next_handle_ = 0x100;
};

}  // namespace qx::spti::testing

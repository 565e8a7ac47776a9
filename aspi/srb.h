// ASPI request blocks as packed little-endian records. They are the wire format
// between the system and the transport backend (the ASPI manager substitute).
// Their status codes are in aspi/status_codes.h.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "aspi/status_codes.h"

namespace qx {

static_assert(std::endian::native == std::endian::little,
              "request blocks are little-endian records laid over native integers");

inline constexpr uint8_t SC_HA_INQUIRY = 0x00;
inline constexpr uint8_t SC_EXEC_SCSI_CMD = 0x02;

inline constexpr size_t kSenseAreaSize = 256;
inline constexpr uint8_t kSenseLen = 255;

#pragma pack(push, 1)
struct SRB_ExecSCSICmd {
  uint8_t SRB_Cmd;     // 0x02
  uint8_t SRB_Status;  // polled until nonzero
  uint8_t SRB_HaId;
  uint8_t SRB_Flags;
  uint32_t SRB_Hdr_Rsvd;
  uint8_t SRB_Target;
  uint8_t SRB_Lun;
  uint16_t SRB_Rsvd1;
  uint32_t SRB_BufLen;
  uint32_t SRB_BufPointer;  // not relied on: the buffer travels as its own argument
  uint8_t SRB_SenseLen;
  uint8_t SRB_CDBLen;
  uint8_t SRB_HaStat;
  uint8_t SRB_TargStat;
  uint32_t SRB_PostProc;
  uint32_t SRB_Rsvd2;
  uint8_t SRB_Rsvd3[16];
  uint8_t CDBByte[16];
  uint8_t SenseArea[kSenseAreaSize];
};

struct SRB_HAInquiry {
  uint8_t SRB_Cmd;  // 0x00
  uint8_t SRB_Status;
  uint8_t SRB_HaId;
  uint8_t SRB_Flags;
  uint32_t SRB_Hdr_Rsvd;
  uint8_t HA_Count;
  uint8_t HA_SCSI_ID;
  uint8_t HA_ManagerId[16];
  uint8_t HA_Identifier[16];
  uint8_t HA_Unique[16];
  uint16_t HA_Rsvd1;
};

// The common header both blocks start with; a backend reads SRB_Cmd to tell them apart.
struct SRB_Header {
  uint8_t SRB_Cmd;
  uint8_t SRB_Status;
  uint8_t SRB_HaId;
  uint8_t SRB_Flags;
  uint32_t SRB_Hdr_Rsvd;
};
#pragma pack(pop)

static_assert(sizeof(SRB_ExecSCSICmd) == 320);
static_assert(offsetof(SRB_ExecSCSICmd, SRB_Cmd) == 0);
static_assert(offsetof(SRB_ExecSCSICmd, SRB_Status) == 1);
static_assert(offsetof(SRB_ExecSCSICmd, SRB_HaId) == 2);
static_assert(offsetof(SRB_ExecSCSICmd, SRB_Flags) == 3);
static_assert(offsetof(SRB_ExecSCSICmd, SRB_Hdr_Rsvd) == 4);
static_assert(offsetof(SRB_ExecSCSICmd, SRB_Target) == 8);
static_assert(offsetof(SRB_ExecSCSICmd, SRB_Lun) == 9);
static_assert(offsetof(SRB_ExecSCSICmd, SRB_Rsvd1) == 10);
static_assert(offsetof(SRB_ExecSCSICmd, SRB_BufLen) == 12);
static_assert(offsetof(SRB_ExecSCSICmd, SRB_BufPointer) == 16);
static_assert(offsetof(SRB_ExecSCSICmd, SRB_SenseLen) == 20);
static_assert(offsetof(SRB_ExecSCSICmd, SRB_CDBLen) == 21);
static_assert(offsetof(SRB_ExecSCSICmd, SRB_HaStat) == 22);
static_assert(offsetof(SRB_ExecSCSICmd, SRB_TargStat) == 23);
static_assert(offsetof(SRB_ExecSCSICmd, SRB_PostProc) == 24);
static_assert(offsetof(SRB_ExecSCSICmd, SRB_Rsvd2) == 28);
static_assert(offsetof(SRB_ExecSCSICmd, SRB_Rsvd3) == 32);
static_assert(offsetof(SRB_ExecSCSICmd, CDBByte) == 48);
static_assert(offsetof(SRB_ExecSCSICmd, SenseArea) == 64);

static_assert(sizeof(SRB_HAInquiry) == 60);
static_assert(offsetof(SRB_HAInquiry, SRB_Cmd) == 0);
static_assert(offsetof(SRB_HAInquiry, SRB_Status) == 1);
static_assert(offsetof(SRB_HAInquiry, SRB_HaId) == 2);
static_assert(offsetof(SRB_HAInquiry, SRB_Flags) == 3);
static_assert(offsetof(SRB_HAInquiry, SRB_Hdr_Rsvd) == 4);
static_assert(offsetof(SRB_HAInquiry, HA_Count) == 8);
static_assert(offsetof(SRB_HAInquiry, HA_SCSI_ID) == 9);
static_assert(offsetof(SRB_HAInquiry, HA_ManagerId) == 10);
static_assert(offsetof(SRB_HAInquiry, HA_Identifier) == 26);
static_assert(offsetof(SRB_HAInquiry, HA_Unique) == 42);
static_assert(offsetof(SRB_HAInquiry, HA_Rsvd1) == 58);

static_assert(sizeof(SRB_Header) == 8);

}  // namespace qx

// ASPI for Win32, as published: request blocks, commands, flags, statuses
// and the entry points of the library WNASPI32. The ASPI transport and the
// simulated ASPI layer share these declarations.
#pragma once

#ifdef _WIN32
#include <windows.h>  // BYTE, WORD and DWORD as Windows has them
#else
#include <cstdint>

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
#endif
using LPSRB = void*;

// Commands (SRB_Cmd).
enum : BYTE {
    SC_HA_INQUIRY = 0x00,
    SC_GET_DEV_TYPE = 0x01,
    SC_EXEC_SCSI_CMD = 0x02,
    SC_ABORT_SRB = 0x03,
    SC_RESET_DEV = 0x04,
};

// Request flags (SRB_Flags).
enum : BYTE {
    SRB_POSTING = 0x01,
    SRB_ENABLE_RESIDUAL_COUNT = 0x04,
    SRB_DIR_IN = 0x08,
    SRB_DIR_OUT = 0x10,
    SRB_EVENT_NOTIFY = 0x40,
};

// Statuses (SRB_Status and the status byte of GetASPI32SupportInfo).
enum : BYTE {
    SS_PENDING = 0x00,
    SS_COMP = 0x01,
    SS_ABORTED = 0x02,
    SS_ABORT_FAIL = 0x03,
    SS_ERR = 0x04,
    SS_INVALID_CMD = 0x80,
    SS_INVALID_HA = 0x81,
    SS_NO_DEVICE = 0x82,
    SS_INVALID_SRB = 0xE0,
    SS_OLD_MANAGER = 0xE1,
    SS_BUFFER_ALIGN = 0xE1,
    SS_ILLEGAL_MODE = 0xE2,
    SS_NO_ASPI = 0xE3,
    SS_FAILED_INIT = 0xE4,
    SS_ASPI_IS_BUSY = 0xE5,
    SS_BUFFER_TO_BIG = 0xE6,
    SS_MISMATCHED_COMPONENTS = 0xE7,
    SS_NO_ADAPTERS = 0xE8,
    SS_INSUFFICIENT_RESOURCES = 0xE9,
    SS_ASPI_IS_SHUTDOWN = 0xEA,
    SS_BAD_INSTALL = 0xEB,
};

// Host adapter statuses (SRB_HaStat).
enum : BYTE {
    HASTAT_OK = 0x00,
    HASTAT_SEL_TO = 0x11,  // selection time-out
    HASTAT_DO_DU = 0x12,
    HASTAT_BUS_FREE = 0x13,
    HASTAT_PHASE_ERR = 0x14,
    HASTAT_TIMEOUT = 0x09,
    HASTAT_COMMAND_TIMEOUT = 0x0B,
    HASTAT_MESSAGE_REJECT = 0x0D,
    HASTAT_BUS_RESET = 0x0E,
    HASTAT_PARITY_ERROR = 0x0F,
    HASTAT_REQUEST_SENSE_FAILED = 0x10,
};

enum { SENSE_LEN = 14 };

#pragma pack(push, 1)

struct SRB_Header {
    BYTE SRB_Cmd;
    BYTE SRB_Status;
    BYTE SRB_HaId;
    BYTE SRB_Flags;
    DWORD SRB_Hdr_Rsvd;
};

struct SRB_HAInquiry {
    BYTE SRB_Cmd;
    BYTE SRB_Status;
    BYTE SRB_HaId;
    BYTE SRB_Flags;
    DWORD SRB_Hdr_Rsvd;
    BYTE HA_Count;
    BYTE HA_SCSI_ID;
    BYTE HA_ManagerId[16];
    BYTE HA_Identifier[16];
    BYTE HA_Unique[16];
    WORD HA_Rsvd1;
};

struct SRB_GDEVBlock {
    BYTE SRB_Cmd;
    BYTE SRB_Status;
    BYTE SRB_HaId;
    BYTE SRB_Flags;
    DWORD SRB_Hdr_Rsvd;
    BYTE SRB_Target;
    BYTE SRB_Lun;
    BYTE SRB_DeviceType;
    BYTE SRB_Rsvd1;
};

struct SRB_ExecSCSICmd {
    BYTE SRB_Cmd;
    BYTE SRB_Status;
    BYTE SRB_HaId;
    BYTE SRB_Flags;
    DWORD SRB_Hdr_Rsvd;
    BYTE SRB_Target;
    BYTE SRB_Lun;
    WORD SRB_Rsvd1;
    DWORD SRB_BufLen;
    BYTE* SRB_BufPointer;
    BYTE SRB_SenseLen;
    BYTE SRB_CDBLen;
    BYTE SRB_HaStat;
    BYTE SRB_TargStat;
    void* SRB_PostProc;  // the event signalled at completion (SRB_EVENT_NOTIFY)
    BYTE SRB_Rsvd2[20];
    BYTE CDBByte[16];
    BYTE SenseArea[SENSE_LEN + 2];
};

struct SRB_Abort {
    BYTE SRB_Cmd;
    BYTE SRB_Status;
    BYTE SRB_HaId;
    BYTE SRB_Flags;
    DWORD SRB_Hdr_Rsvd;
    void* SRB_ToAbort;
};

struct SRB_BusDeviceReset {
    BYTE SRB_Cmd;
    BYTE SRB_Status;
    BYTE SRB_HaId;
    BYTE SRB_Flags;
    DWORD SRB_Hdr_Rsvd;
    BYTE SRB_Target;
    BYTE SRB_Lun;
    BYTE SRB_Rsvd1[12];
    BYTE SRB_HaStat;
    BYTE SRB_TargStat;
    void* SRB_PostProc;
    BYTE SRB_Rsvd2[36];
};

#pragma pack(pop)

// The calling convention of ASPI for Win32: the caller clears the stack.
#if defined(_WIN32) && !defined(_WIN64)
#define ASPI_CALL __cdecl
#else
#define ASPI_CALL
#endif

// A layer exports its entry points by their plain names: on Windows through
// its module-definition file, elsewhere by their visibility.
#ifdef _WIN32
#define ASPI_EXPORT extern "C"
#else
#define ASPI_EXPORT extern "C" __attribute__((visibility("default")))
#endif

// Entry points of WNASPI32 (C linkage, looked up by their plain names).
extern "C" {
using GetASPI32SupportInfo_t = DWORD(ASPI_CALL*)();
using SendASPI32Command_t = DWORD(ASPI_CALL*)(LPSRB srb);
using GetASPI32Buffer_t = int(ASPI_CALL*)(void* buf);
using FreeASPI32Buffer_t = int(ASPI_CALL*)(void* buf);
using TranslateASPI32Address_t = int(ASPI_CALL*)(DWORD* path, DWORD* devnode);
}

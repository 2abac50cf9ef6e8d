// The drive command layer: one function per SCSI command the tool sends,
// the bus scan, and the drive table the scan fills.
#pragma once

#include <cstdint>

#include "scg/scg.h"

enum { MAX_DRIVES = 32 };

// The program's one open handle, set by the tool's session set-up.
extern SCSI* scgp;
// The drive table: CD-ROM class devices in scan order, entries 0..ndrive-1.
extern std::uint8_t ndrive;
extern std::uint8_t nhost;  // host adapters to scan: 1 + highest existing
extern int arHA[MAX_DRIVES];
extern int arID[MAX_DRIVES];
// Devices the scan found, those beyond the table's room included.
extern int nfound;
// Devices that answered the scan with BUSY: they exist but could not be
// examined (another program has them).
extern int nbusy;

// Record builders on a handle: 0 success, -1 failure (as scg_cmd).
int test_unit_ready(SCSI* scgp);
int rezero_unit(SCSI* scgp);
int request_sense(SCSI* scgp, void* bp, int cnt);
int inquiry(SCSI* scgp, void* bp, int cnt);

// Fills the drive table: 1 for a dev= address, -1 after a scan.
int scsi_device();

// Address-level wrappers on scgp: 1 success, 0 failure, 129 no such bus.
int DevInquiry(int bus, int target, char* vendor, char* product, char* revision);
int inquire(int bus, int target, unsigned char* buf);
int RequestSense(int bus, int target, unsigned char* buf);
int Rezero(int bus, int target);
int Test(int bus, int target);
[[noreturn]] void ModeSense();
[[noreturn]] void ModeSelect();

// What the last command on scgp tells of the drive: another process has it
// (BUSY, or the host layer's "in use"); or it refused the command before
// doing anything (CHECK CONDITION with a current NOT READY or ILLEGAL
// REQUEST). A time-out, an abort or a host error tells neither.
bool DriveInUse();
bool CommandNotPerformed();

// Firmware transfer commands on scgp: 1 success, 0 failure.
int WriteBuffer(int bus, int target, int mode, int bufid, long offset, long length, void* data);
int EraseRom(int bus, int target);
int WriteRom(int bus, int target, int control, long addr, long length, void* data);
int ReadRom(int bus, int target, long addr, long length, void* data);
[[noreturn]] void ReadCPU();
[[noreturn]] void WriteRAM();

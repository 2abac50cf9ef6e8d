// The drive command layer: one function per SCSI command the tool sends,
// and the bus scan that fills a drive table. Every function works on the
// handle it is given; the layer keeps no state of its own.
//
// Names: each command is named for what it does, in lower case with
// underscores (test_unit_ready, write_buffer). The form that works on the
// handle's current address has the plain name; the form that first selects
// an address (lun 0) has the same name with "_at" and takes a Drive. A
// command sends quietly (no report of a failure) while the caller holds the
// handle's silence up.
#pragma once

#include <cstdint>

#include "drivecmd/drive.h"
#include "scg/scg.h"

// On the handle's current address.
Reply test_unit_ready(SCSI* scgp);
Reply rezero_unit(SCSI* scgp);
Reply request_sense(SCSI* scgp, void* bp, int cnt);
Reply inquiry(SCSI* scgp, void* bp, int cnt);

// At an address, which each selects first.
Reply test_unit_ready_at(SCSI* scgp, Drive at);
Reply rezero_unit_at(SCSI* scgp, Drive at);
// Into 18 bytes of buf.
Reply request_sense_at(SCSI* scgp, Drive at, unsigned char* buf);
// ha and id are taken as 8-bit signed values; no_bus, and nothing sent, for
// a host adapter that does not exist.
Reply inquiry_at(SCSI* scgp, Drive at, unsigned char* buf, int cnt);

// The drive table of the handle: only its dev= address when it has one
// (nothing is sent), else every CD-ROM class device on targets 0 to
// SCAN_TARGETS - 1 of the host adapters below nhost, probed quietly.
DriveTable scsi_device(SCSI* scgp, std::uint8_t nhost);

// Firmware transfer commands.
Reply write_buffer_at(SCSI* scgp, Drive at, int mode, int bufid, long offset, long length, void* data);
Reply erase_rom_at(SCSI* scgp, Drive at);
Reply write_rom_at(SCSI* scgp, Drive at, int control, long addr, long length, void* data);
Reply read_rom_at(SCSI* scgp, Drive at, long addr, long length, void* data);

// Placeholders for commands the drives have and the tool never sends: each
// says its name on standard output and fails; whoever calls one ends the
// run with status 1.
Reply mode_sense();
Reply mode_select();
Reply read_cpu();
Reply write_ram();

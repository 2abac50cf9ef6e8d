// The drive command layer: one function per SCSI command the tool sends,
// and the bus scan that fills a drive table. Every function works on the
// handle it is given; the layer keeps no state of its own.
#pragma once

#include <cstdint>
#include <optional>

#include "scg/scg.h"

enum {
    MAX_DRIVES = 32,
    SCAN_TARGETS = 8,  // the scan walks targets 0 to SCAN_TARGETS - 1 of each adapter
};

// A drive at an address of a handle: host adapter (bus) and target; the
// logical unit is always 0.
struct Drive {
    int ha;
    int id;
};

// The drive table: CD-ROM class devices in scan order, entries 0..ndrive-1.
struct DriveTable {
    std::uint8_t ndrive = 0;
    std::uint8_t nhost = 0;  // host adapters scanned: 1 + highest existing
    int arHA[MAX_DRIVES] = {};
    int arID[MAX_DRIVES] = {};
    // Devices the scan found, those beyond the table's room included.
    int nfound = 0;
    // Devices that answered the scan as in use: they exist but could not be
    // examined (another program has them).
    int nbusy = 0;

    Drive at(int i) const { return {arHA[i], arID[i]}; }
};

// What became of a command at an address.
enum class Reply {
    ok,
    // Another process has the drive: BUSY, or the host layer's "in use".
    in_use,
    // The drive refused the command before doing anything: CHECK CONDITION
    // with a current NOT READY or ILLEGAL REQUEST.
    refused,
    // Anything else: a time-out, an abort, a host error, other sense data.
    failed,
    // No such host adapter: nothing was sent.
    no_bus,
};

// Record builders on the handle's current address.
Reply test_unit_ready(SCSI* scgp);
Reply rezero_unit(SCSI* scgp);
Reply request_sense(SCSI* scgp, void* bp, int cnt);
Reply inquiry(SCSI* scgp, void* bp, int cnt);

// The drive table of the handle: only its dev= address when it has one
// (nothing is sent), else every CD-ROM class device on targets 0 to 7 of
// the host adapters below nhost, probed quietly.
DriveTable scsi_device(SCSI* scgp, std::uint8_t nhost);

// Where standard INQUIRY data holds its texts (blank padded, no terminator).
enum : int {
    INQ_VENDOR_AT = 8,
    INQ_VENDOR_LEN = 8,
    INQ_PRODUCT_AT = 16,
    INQ_PRODUCT_LEN = 16,
    INQ_REVISION_AT = 32,
    INQ_REVISION_LEN = 4,
    INQUIRE_LEN = 96,  // what inquire asks for
};

// The text fields of a standard INQUIRY answer, each terminated.
struct InquiryText {
    char vendor[INQ_VENDOR_LEN + 1];
    char product[INQ_PRODUCT_LEN + 1];
    char revision[INQ_REVISION_LEN + 1];
};
// The texts of INQUIRY data of at least INQ_REVISION_AT + INQ_REVISION_LEN
// bytes; a zero byte ends a text early.
InquiryText inquiry_text(const unsigned char* inq);

// Commands at an address (lun 0), which each selects first.
std::optional<InquiryText> DevInquiry(SCSI* scgp, Drive at);
// A quiet INQUIRY for INQUIRE_LEN bytes into buf; ha and id are taken as
// 8-bit signed values.
Reply inquire(SCSI* scgp, Drive at, unsigned char* buf);
Reply RequestSense(SCSI* scgp, Drive at, unsigned char* buf);
Reply Rezero(SCSI* scgp, Drive at);
// A quiet TEST UNIT READY; the sense data of a failure stays in the
// handle's record.
Reply Test(SCSI* scgp, Drive at);

// Firmware transfer commands.
Reply WriteBuffer(SCSI* scgp, Drive at, int mode, int bufid, long offset, long length, void* data);
Reply EraseRom(SCSI* scgp, Drive at);
Reply WriteRom(SCSI* scgp, Drive at, int control, long addr, long length, void* data);
Reply ReadRom(SCSI* scgp, Drive at, long addr, long length, void* data);

// Placeholders for commands the drives have and the tool never sends: each
// says its name on standard output and fails; whoever calls one ends the
// run with status 1.
Reply ModeSense();
Reply ModeSelect();
Reply ReadCPU();
Reply WriteRAM();

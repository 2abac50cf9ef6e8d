// What the drive command layer's callers see of a drive, without the
// transport library: its address, the drive table, how a command ended and
// the texts of an INQUIRY answer.
#pragma once

#include <cstdint>

enum {
    MAX_DRIVES = 32,
    SCAN_TARGETS = 8,  // the scan walks targets 0 to SCAN_TARGETS - 1 of each adapter
};

// A drive at an address of a handle: host adapter (bus) and target; the
// logical unit is always 0.
struct Drive {
    int ha;
    int id;
    bool operator==(const Drive&) const = default;
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

// Where standard INQUIRY data holds its texts (blank padded, no terminator).
enum : int {
    INQ_VENDOR_AT = 8,
    INQ_VENDOR_LEN = 8,
    INQ_PRODUCT_AT = 16,
    INQ_PRODUCT_LEN = 16,
    INQ_REVISION_AT = 32,
    INQ_REVISION_LEN = 4,
    INQUIRE_LEN = 96,     // what an identification asks for
    DEV_INQUIRY_LEN = 56  // what a version read asks for
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

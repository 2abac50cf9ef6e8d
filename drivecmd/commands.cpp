// The drive command layer: every SCSI command the tool sends is one filled
// command record and one call of scg_cmd.
#include "drivecmd/commands.h"

#include <cerrno>

#include "fwimage/fwtables.h"
#include "support/printf.h"
#include "support/utils.h"

namespace {

// What fixes a command apart from its data and its CDB arguments.
struct CommandDef {
    unsigned char opcode;
    int cdb_len;
    int flags;
    const char* name;
};

constexpr int kSenseLen = 18;
constexpr int kInquiryLen = 36;  // the scan reads the standard part only
constexpr int kPeripheralCdrom = 5;
constexpr int kStatusMask = 0x3E;  // the status code bits of the status byte
constexpr int kStatusCheck = 0x02;
constexpr int kStatusBusy = 0x08;
constexpr int kSenseNotReady = 0x02;
constexpr int kSenseIllegalRequest = 0x05;

constexpr CommandDef kTestUnitReady{0x00, 6, SCGF_DISCONNECT, "test unit ready"};
constexpr CommandDef kRezeroUnit{0x01, 6, SCGF_DISCONNECT, "rezero unit"};
constexpr CommandDef kRequestSense{0x03, 6, SCGF_RECV | SCGF_DISCONNECT, "request_sense"};
constexpr CommandDef kInquiry{0x12, 6, SCGF_RECV | SCGF_DISCONNECT, "inquiry"};
constexpr CommandDef kWriteBuffer{0x3B, 10, SCGF_DISCONNECT | SCGF_BIT3, "write_buffer"};
constexpr CommandDef kEraseRom{OP_ERASE_ROM, 12, SCGF_DISCONNECT | SCGF_BIT3, "erase_rom"};
constexpr CommandDef kWriteRom{OP_WRITE_ROM, 12, SCGF_DISCONNECT | SCGF_BIT3, "write_rom"};
constexpr CommandDef kReadRom{OP_READ_ROM, 12, SCGF_RECV | SCGF_DISCONNECT | SCGF_BIT3, "read_rom"};

// Clears the handle's record and fills what every command shares. The
// caller adds the CDB bytes that depend on its arguments.
struct scg_cmd* fill_record(SCSI* handle, const CommandDef& def, void* addr, int size, int extra_flags = 0) {
    struct scg_cmd* rec = handle->cmdrec;
    sup::fillbytes(rec, sizeof *rec, 0);
    rec->addr = addr;
    rec->size = size;
    rec->flags = def.flags | extra_flags;
    rec->cdb_len = def.cdb_len;
    rec->sense_len = kSenseLen;
    rec->cdb[0] = def.opcode;
    handle->cmd_name = def.name;
    return rec;
}

// Group 0: the handle's lun goes into byte 1, a data-in count into byte 4.
struct scg_cmd* fill_group0(SCSI* handle, const CommandDef& def, void* addr, int size, int extra_flags = 0) {
    struct scg_cmd* rec = fill_record(handle, def, addr, size, extra_flags);
    rec->cdb[1] = static_cast<unsigned char>((handle->lun & 7) << 5);
    if (def.flags & SCGF_RECV) rec->cdb[4] = static_cast<unsigned char>(size & 0xFF);
    return rec;
}

// The maker's commands and WRITE BUFFER address lun 0 and never carry it in
// the CDB.
struct scg_cmd* select_and_fill(SCSI* scgp, Drive at, const CommandDef& def, void* addr, int size) {
    scg_settarget(scgp, at.ha, at.id, 0);
    return fill_record(scgp, def, addr, size);
}

void put_be(unsigned char* p, unsigned long value, int bytes) {
    for (int i = bytes - 1; i >= 0; i--) {
        p[i] = static_cast<unsigned char>(value & 0xFF);
        value >>= 8;
    }
}

// The maker's flash commands: a 32-bit flash address in bytes 2-5 and the
// 32-bit length in bytes 6-9.
struct scg_cmd* fill_flash(SCSI* scgp, Drive at, const CommandDef& def, long addr, long length, void* data) {
    struct scg_cmd* rec = select_and_fill(scgp, at, def, data, static_cast<int>(length));
    put_be(&rec->cdb[2], static_cast<unsigned long>(addr), 4);
    put_be(&rec->cdb[6], static_cast<unsigned long>(length), 4);
    return rec;
}

// A failed command in the terms of what the caller does next. A drive in
// use comes first: a layer that says so tells of no command the drive saw.
Reply failure(const SCSI* scgp) {
    const struct scg_cmd* rec = scgp->cmdrec;
    // The Linux layer answers a drive that another program holds open with
    // "ASPI busy", which the transport turns into EBUSY.
    if ((rec->status[0] & kStatusMask) == kStatusBusy || rec->ux_errno == EBUSY) return Reply::in_use;
    if (rec->error != SCGE_RETRYABLE || (rec->status[0] & kStatusMask) != kStatusCheck) return Reply::failed;
    // Only a current error speaks of this command, in either sense format;
    // a deferred one tells of an earlier command.
    int key;
    if (rec->sense_received >= 3 && (rec->sense[0] & 0x7F) == 0x70)
        key = rec->sense[2] & 0x0F;
    else if (rec->sense_received >= 2 && (rec->sense[0] & 0x7F) == 0x72)
        key = rec->sense[1] & 0x0F;
    else
        return Reply::failed;
    return key == kSenseNotReady || key == kSenseIllegalRequest ? Reply::refused : Reply::failed;
}

Reply execute(SCSI* scgp) { return scg_cmd(scgp) >= 0 ? Reply::ok : failure(scgp); }

// Bytes that really arrived, never more than the caller's buffer holds: a
// transport reporting an overrun (negative resid) must not make the trace
// read past it.
int received(const SCSI* handle, int cnt) {
    int resid = handle->cmdrec->resid;
    if (resid < 0) return cnt;
    if (resid > cnt) return 0;
    return cnt - resid;
}

void add_drive(DriveTable& table, int bus, int target) {
    // The table holds MAX_DRIVES entries; devices found after that are only
    // counted, so that the caller can say they were left out.
    table.nfound++;
    if (table.ndrive >= MAX_DRIVES) return;
    table.arHA[table.ndrive] = bus;
    table.arID[table.ndrive] = target;
    table.ndrive++;
}

// Raises the handle's silence for the lifetime of the guard.
class Quiet {
public:
    explicit Quiet(SCSI* handle) : handle_(handle) { handle_->silent++; }
    ~Quiet() { handle_->silent--; }
    Quiet(const Quiet&) = delete;
    Quiet& operator=(const Quiet&) = delete;

private:
    SCSI* handle_;
};

Reply placeholder(const char* what) {
    sup::printf("%s\n", what);
    return Reply::failed;
}

}  // namespace

// --- record builders ---------------------------------------------------------

Reply test_unit_ready(SCSI* scgp) {
    fill_group0(scgp, kTestUnitReady, nullptr, 0, scgp->silent ? SCGF_SILENT : 0);
    return execute(scgp);
}

Reply rezero_unit(SCSI* scgp) {
    fill_group0(scgp, kRezeroUnit, nullptr, 0);
    return execute(scgp);
}

Reply request_sense(SCSI* scgp, void* bp, int cnt) {
    fill_group0(scgp, kRequestSense, bp, cnt);
    const Reply r = execute(scgp);
    if (r == Reply::ok && scgp->verbose)
        scg_prsense(static_cast<const unsigned char*>(bp), received(scgp, cnt));
    return r;
}

Reply inquiry(SCSI* scgp, void* bp, int cnt) {
    sup::fillbytes(bp, cnt, 0);
    fill_group0(scgp, kInquiry, bp, cnt);
    const Reply r = execute(scgp);
    if (r == Reply::ok && scgp->verbose)
        scg_prbytes("Inquiry Data   :", static_cast<const unsigned char*>(bp), received(scgp, cnt));
    return r;
}

InquiryText inquiry_text(const unsigned char* inq) {
    InquiryText text;
    sup::movebytes(inq + INQ_VENDOR_AT, text.vendor, INQ_VENDOR_LEN);
    text.vendor[INQ_VENDOR_LEN] = '\0';
    sup::movebytes(inq + INQ_PRODUCT_AT, text.product, INQ_PRODUCT_LEN);
    text.product[INQ_PRODUCT_LEN] = '\0';
    sup::movebytes(inq + INQ_REVISION_AT, text.revision, INQ_REVISION_LEN);
    text.revision[INQ_REVISION_LEN] = '\0';
    return text;
}

// --- scan ----------------------------------------------------------------------

DriveTable scsi_device(SCSI* scgp, std::uint8_t nhost) {
    DriveTable table;
    table.nhost = nhost;
    if (scgp->scsibus >= 0 && scgp->target >= 0 && scgp->lun >= 0) {
        // The user named the drive: take it as given, without probing.
        add_drive(table, scgp->scsibus, scgp->target);
        return table;
    }
    Quiet quiet(scgp);
    unsigned char inq[kInquiryLen];
    for (int bus = 0; bus < nhost; bus++) {
        if (!scg_havebus(scgp, bus)) continue;
        for (int target = 0; target < SCAN_TARGETS; target++) {
            scg_settarget(scgp, bus, target, 0);
            test_unit_ready(scgp);
            const Reply r = inquiry(scgp, inq, sizeof inq);
            if (r == Reply::ok && (inq[0] & 0x1F) == kPeripheralCdrom) add_drive(table, bus, target);
            if (r == Reply::in_use) table.nbusy++;
        }
    }
    return table;
}

// --- at an address ------------------------------------------------------------

Reply inquiry_at(SCSI* scgp, Drive at, unsigned char* buf, int cnt) {
    const int bus = static_cast<signed char>(at.ha);
    const int target = static_cast<signed char>(at.id);
    if (!scg_havebus(scgp, bus)) return Reply::no_bus;
    scg_settarget(scgp, bus, target, 0);
    return inquiry(scgp, buf, cnt);
}

Reply request_sense_at(SCSI* scgp, Drive at, unsigned char* buf) {
    scg_settarget(scgp, at.ha, at.id, 0);
    sup::fillbytes(buf, kSenseLen, 0);
    return request_sense(scgp, buf, kSenseLen);
}

Reply rezero_unit_at(SCSI* scgp, Drive at) {
    scg_settarget(scgp, at.ha, at.id, 0);
    return rezero_unit(scgp);
}

Reply test_unit_ready_at(SCSI* scgp, Drive at) {
    scg_settarget(scgp, at.ha, at.id, 0);
    return test_unit_ready(scgp);
}

Reply mode_sense() { return placeholder("modesense"); }
Reply mode_select() { return placeholder("modeselect"); }

// --- firmware transfer --------------------------------------------------------

Reply write_buffer_at(SCSI* scgp, Drive at, int mode, int bufid, long offset, long length, void* data) {
    struct scg_cmd* rec = select_and_fill(scgp, at, kWriteBuffer, data, static_cast<int>(length));
    rec->cdb[1] = static_cast<unsigned char>(mode & 7);
    rec->cdb[2] = static_cast<unsigned char>(bufid & 0xFF);
    put_be(&rec->cdb[3], static_cast<unsigned long>(offset), 3);
    put_be(&rec->cdb[6], static_cast<unsigned long>(length), 3);
    return execute(scgp);
}

Reply erase_rom_at(SCSI* scgp, Drive at) {
    struct scg_cmd* rec = select_and_fill(scgp, at, kEraseRom, nullptr, 0);
    rec->cdb[1] = 0x04;
    rec->cdb[2] = 0xFF;
    return execute(scgp);
}

Reply write_rom_at(SCSI* scgp, Drive at, int control, long addr, long length, void* data) {
    struct scg_cmd* rec = fill_flash(scgp, at, kWriteRom, addr, length, data);
    rec->cdb[1] = static_cast<unsigned char>(control & 0xFF);
    return execute(scgp);
}

Reply read_rom_at(SCSI* scgp, Drive at, long addr, long length, void* data) {
    fill_flash(scgp, at, kReadRom, addr, length, data);
    return execute(scgp);
}

Reply read_cpu() { return placeholder("Read CPU"); }
Reply write_ram() { return placeholder("Write RAM"); }

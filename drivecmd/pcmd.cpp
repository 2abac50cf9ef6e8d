// The drive command layer: every SCSI command the tool sends is one filled
// command record and one call of scg_cmd.
#include "drivecmd/pcmd.h"

#include <cerrno>
#include <cstdlib>

#include "fwimage/fwtables.h"
#include "support/printf.h"
#include "support/utils.h"

SCSI* scgp = nullptr;
std::uint8_t ndrive = 0;
std::uint8_t nhost = 0;
int arHA[MAX_DRIVES];
int arID[MAX_DRIVES];
int nfound = 0;
int nbusy = 0;

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
constexpr int kDevInquiryLen = 56;
constexpr int kInquireLen = 96;  // what drive identification asks for
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
struct scg_cmd* select_and_fill(int bus, int target, const CommandDef& def, void* addr, int size) {
    scg_settarget(scgp, bus, target, 0);
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
struct scg_cmd* fill_flash(int bus, int target, const CommandDef& def, long addr, long length, void* data) {
    struct scg_cmd* rec = select_and_fill(bus, target, def, data, static_cast<int>(length));
    put_be(&rec->cdb[2], static_cast<unsigned long>(addr), 4);
    put_be(&rec->cdb[6], static_cast<unsigned long>(length), 4);
    return rec;
}

// The address-level functions answer 1 for success, 0 for failure.
int succeeded(int cmd_result) { return cmd_result >= 0 ? 1 : 0; }

// Bytes that really arrived, never more than the caller's buffer holds: a
// transport reporting an overrun (negative resid) must not make the trace
// read past it.
int received(const SCSI* handle, int cnt) {
    int resid = handle->cmdrec->resid;
    if (resid < 0) return cnt;
    if (resid > cnt) return 0;
    return cnt - resid;
}

void add_drive(int bus, int target) {
    // The table holds MAX_DRIVES entries; devices found after that are only
    // counted, so that the caller can say they were left out.
    nfound++;
    if (ndrive >= MAX_DRIVES) return;
    arHA[ndrive] = bus;
    arID[ndrive] = target;
    ndrive++;
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

[[noreturn]] void placeholder(const char* what) {
    sup::printf("%s\n", what);
    std::exit(1);
}

}  // namespace

// --- record builders ---------------------------------------------------------

int test_unit_ready(SCSI* handle) {
    fill_group0(handle, kTestUnitReady, nullptr, 0, handle->silent ? SCGF_SILENT : 0);
    return scg_cmd(handle);
}

int rezero_unit(SCSI* handle) {
    fill_group0(handle, kRezeroUnit, nullptr, 0);
    return scg_cmd(handle);
}

int request_sense(SCSI* handle, void* bp, int cnt) {
    fill_group0(handle, kRequestSense, bp, cnt);
    if (scg_cmd(handle) < 0) return -1;
    if (handle->verbose) scg_prsense(static_cast<const unsigned char*>(bp), received(handle, cnt));
    return 0;
}

int inquiry(SCSI* handle, void* bp, int cnt) {
    sup::fillbytes(bp, cnt, 0);
    fill_group0(handle, kInquiry, bp, cnt);
    if (scg_cmd(handle) < 0) return -1;
    if (handle->verbose)
        scg_prbytes("Inquiry Data   :", static_cast<const unsigned char*>(bp), received(handle, cnt));
    return 0;
}

// --- scan ----------------------------------------------------------------------

int scsi_device() {
    if (scgp->scsibus >= 0 && scgp->target >= 0 && scgp->lun >= 0) {
        // The user named the drive: take it as given, without probing.
        add_drive(scgp->scsibus, scgp->target);
        return 1;
    }
    Quiet quiet(scgp);
    unsigned char inq[kInquiryLen];
    for (int bus = 0; bus < nhost; bus++) {
        if (!scg_havebus(scgp, bus)) continue;
        for (int target = 0; target < 8; target++) {
            scg_settarget(scgp, bus, target, 0);
            test_unit_ready(scgp);
            if (inquiry(scgp, inq, sizeof inq) == 0) {
                if ((inq[0] & 0x1F) == kPeripheralCdrom) add_drive(bus, target);
            } else if (DriveInUse()) {
                nbusy++;
            }
        }
    }
    return -1;
}

// --- address-level wrappers ---------------------------------------------------

int DevInquiry(int bus, int target, char* vendor, char* product, char* revision) {
    if (!scg_havebus(scgp, bus)) return 129;
    scg_settarget(scgp, bus, target, 0);
    unsigned char inq[kDevInquiryLen];
    if (inquiry(scgp, inq, sizeof inq) < 0) return 0;
    sup::movebytes(inq + 8, vendor, 8);
    vendor[8] = '\0';
    sup::movebytes(inq + 16, product, 16);
    product[16] = '\0';
    sup::movebytes(inq + 32, revision, 4);
    revision[4] = '\0';
    return 1;
}

int inquire(int bus, int target, unsigned char* buf) {
    bus = static_cast<signed char>(bus);
    target = static_cast<signed char>(target);
    if (!scg_havebus(scgp, bus)) return 129;
    scg_settarget(scgp, bus, target, 0);
    Quiet quiet(scgp);
    return succeeded(inquiry(scgp, buf, kInquireLen));
}

int RequestSense(int bus, int target, unsigned char* buf) {
    scg_settarget(scgp, bus, target, 0);
    sup::fillbytes(buf, kSenseLen, 0);
    return succeeded(request_sense(scgp, buf, kSenseLen));
}

int Rezero(int bus, int target) {
    scg_settarget(scgp, bus, target, 0);
    return succeeded(rezero_unit(scgp));
}

int Test(int bus, int target) {
    scg_settarget(scgp, bus, target, 0);
    Quiet quiet(scgp);
    return succeeded(test_unit_ready(scgp));
}

bool DriveInUse() {
    // The Linux layer answers a drive that another program holds open with
    // "ASPI busy", which the transport turns into EBUSY.
    return (scg_cmd_status(scgp) & kStatusMask) == kStatusBusy || scgp->cmdrec->ux_errno == EBUSY;
}

bool CommandNotPerformed() {
    const struct scg_cmd* rec = scgp->cmdrec;
    if (rec->error != SCGE_RETRYABLE || (rec->status[0] & kStatusMask) != kStatusCheck) return false;
    // Only a current error speaks of this command, in either sense format;
    // a deferred one tells of an earlier command.
    int key;
    if (rec->sense_received >= 3 && (rec->sense[0] & 0x7F) == 0x70)
        key = rec->sense[2] & 0x0F;
    else if (rec->sense_received >= 2 && (rec->sense[0] & 0x7F) == 0x72)
        key = rec->sense[1] & 0x0F;
    else
        return false;
    return key == kSenseNotReady || key == kSenseIllegalRequest;
}

void ModeSense() { placeholder("modesense"); }
void ModeSelect() { placeholder("modeselect"); }

// --- firmware transfer --------------------------------------------------------

int WriteBuffer(int bus, int target, int mode, int bufid, long offset, long length, void* data) {
    struct scg_cmd* rec = select_and_fill(bus, target, kWriteBuffer, data, static_cast<int>(length));
    rec->cdb[1] = static_cast<unsigned char>(mode & 7);
    rec->cdb[2] = static_cast<unsigned char>(bufid & 0xFF);
    put_be(&rec->cdb[3], static_cast<unsigned long>(offset), 3);
    put_be(&rec->cdb[6], static_cast<unsigned long>(length), 3);
    return succeeded(scg_cmd(scgp));
}

int EraseRom(int bus, int target) {
    struct scg_cmd* rec = select_and_fill(bus, target, kEraseRom, nullptr, 0);
    rec->cdb[1] = 0x04;
    rec->cdb[2] = 0xFF;
    return succeeded(scg_cmd(scgp));
}

int WriteRom(int bus, int target, int control, long addr, long length, void* data) {
    struct scg_cmd* rec = fill_flash(bus, target, kWriteRom, addr, length, data);
    rec->cdb[1] = static_cast<unsigned char>(control & 0xFF);
    return succeeded(scg_cmd(scgp));
}

int ReadRom(int bus, int target, long addr, long length, void* data) {
    fill_flash(bus, target, kReadRom, addr, length, data);
    return succeeded(scg_cmd(scgp));
}

void ReadCPU() { placeholder("Read CPU"); }
void WriteRAM() { placeholder("Write RAM"); }

// Sense data into text: the message tables and the three-line sense report.
#include "scg/scsierrs.h"

#include <cstdint>

#include "scg/scg.h"
#include "scg/scgcompose.h"

using scg_internal::Composer;

// The message tables keep their hand-made layout, codes first: clang-format
// would reflow them.
// clang-format off
const char* const sd_sense_keys[16] = {
    "No Additional Sense", "Recovered Error", "Not Ready",       "Medium Error",
    "Hardware Error",      "Illegal Request", "Unit Attention",  "Data Protect",
    "Blank Check",         "Vendor Unique",   "Copy Aborted",    "Aborted Command",
    "Equal",               "Volume Overflow", "Miscompare",      "Reserved",
};

// Entries begin with two code bytes; the string literal is split after them
// so that a text starting with a hexadecimal letter cannot run into them.
const char* const sd_ccs_error_str[] = {
    "\x00\x00" "no additional sense information",
    "\x00\x01" "filemark detected",
    "\x00\x02" "end-of-partition/medium detected",
    "\x00\x03" "setmark detected",
    "\x00\x04" "beginning-of-partition/medium detected",
    "\x00\x05" "end-of-data detected",
    "\x00\x06" "i/o process terminated",
    "\x00\x11" "audio play operation in progress",
    "\x00\x12" "audio play operation paused",
    "\x00\x13" "audio play operation successfully completed",
    "\x00\x14" "audio play operation stopped due to error",
    "\x00\x15" "no current audio status to return",
    "\x00\x16" "operation in progress",
    "\x00\x17" "cleaning requested",
    "\x01\x00" "no index/sector signal",
    "\x02\x00" "no seek complete",
    "\x03\x00" "peripheral device write fault",
    "\x03\x01" "no write current",
    "\x03\x02" "excessive write errors",
    "\x04\x00" "logical unit not ready, cause not reportable",
    "\x04\x01" "logical unit is in process of becoming ready",
    "\x04\x02" "logical unit not ready, initializing cmd. required",
    "\x04\x03" "logical unit not ready, manual intervention required",
    "\x04\x04" "logical unit not ready, format in progress",
    "\x04\x05" "logical unit not ready, rebuild in progress",
    "\x04\x06" "logical unit not ready, recalculation in progress",
    "\x04\x07" "logical unit not ready, operation in progress",
    "\x04\x08" "logical unit not ready, long write in progress",
    "\x05\x00" "logical unit does not respond to selection",
    "\x06\x00" "no reference position found",
    "\x07\x00" "multiple peripheral devices selected",
    "\x08\x00" "logical unit communication failure",
    "\x08\x01" "logical unit communication time-out",
    "\x08\x02" "logical unit communication parity error",
    "\x08\x03" "logical unit communication crc error (ultra-dma/32)",
    "\x09\x00" "track following error",
    "\x09\x01" "tracking servo failure",
    "\x09\x02" "focus servo failure",
    "\x09\x03" "spindle servo failure",
    "\x09\x04" "head select fault",
    "\x0A\x00" "error log overflow",
    "\x0B\x00" "warning",
    "\x0B\x01" "warning - specified temperature exceeded",
    "\x0B\x02" "warning - enclosure degraded",
    "\x0C\x00" "write error",
    "\x0C\x01" "write error - recovered with auto reallocation",
    "\x0C\x02" "write error - auto reallocation failed",
    "\x0C\x03" "write error - recommend reassignment",
    "\x0C\x04" "compression check miscompare error",
    "\x0C\x05" "data expansion occurred during compression",
    "\x0C\x06" "block not compressible",
    "\x0C\x07" "write error - recovery needed",
    "\x0C\x08" "write error - recovery failed",
    "\x0C\x09" "write error - loss of streaming",
    "\x0C\x0A" "write error - padding blocks added",
    "\x10\x00" "id crc or ecc error",
    "\x11\x00" "unrecovered read error",
    "\x11\x01" "read retries exhausted",
    "\x11\x02" "error too long to correct",
    "\x11\x03" "multiple read errors",
    "\x11\x04" "unrecovered read error - auto reallocate failed",
    "\x11\x05" "l-ec uncorrectable error",
    "\x11\x06" "circ unrecovered error",
    "\x11\x07" "data re-synchronization error",
    "\x11\x08" "incomplete block read",
    "\x11\x09" "no gap found",
    "\x11\x0A" "miscorrected error",
    "\x11\x0B" "unrecovered read error - recommend reassignment",
    "\x11\x0C" "unrecovered read error - recommend rewrite the data",
    "\x11\x0D" "de-compression crc error",
    "\x11\x0E" "cannot decompress using declared algorithm",
    "\x11\x0F" "error reading upc/ean number",
    "\x11\x10" "error reading isrc number",
    "\x11\x11" "read error - loss of streaming",
    "\x12\x00" "address mark not found for id field",
    "\x13\x00" "address mark not found for data field",
    "\x14\x00" "recorded entity not found",
    "\x14\x01" "record not found",
    "\x14\x02" "filemark or setmark not found",
    "\x14\x03" "end-of-data not found",
    "\x14\x04" "block sequence error",
    "\x14\x05" "record not found - recommend reassignment",
    "\x14\x06" "record not found - data auto-reallocated",
    "\x15\x00" "random positioning error",
    "\x15\x01" "mechanical positioning error",
    "\x15\x02" "positioning error detected by read of medium",
    "\x16\x00" "data synchronization mark error",
    "\x16\x01" "data sync error - data rewritten",
    "\x16\x02" "data sync error - recommend rewrite",
    "\x16\x03" "data sync error - data auto-reallocated",
    "\x16\x04" "data sync error - recommend reassignment",
    "\x17\x00" "recovered data with no error correction applied",
    "\x17\x01" "recovered data with retries",
    "\x17\x02" "recovered data with positive head offset",
    "\x17\x03" "recovered data with negative head offset",
    "\x17\x04" "recovered data with retries and/or circ applied",
    "\x17\x05" "recovered data using previous sector id",
    "\x17\x06" "recovered data without ecc - data auto-reallocated",
    "\x17\x07" "recovered data without ecc - recommend reassignment",
    "\x17\x08" "recovered data without ecc - recommend rewrite",
    "\x17\x09" "recovered data without ecc - data rewritten",
    "\x18\x00" "recovered data with error correction applied",
    "\x18\x01" "recovered data with error corr. & retries applied",
    "\x18\x02" "recovered data - data auto-reallocated",
    "\x18\x03" "recovered data with circ",
    "\x18\x04" "recovered data with l-ec",
    "\x18\x05" "recovered data - recommend reassignment",
    "\x18\x06" "recovered data - recommend rewrite",
    "\x18\x07" "recovered data with ecc - data rewritten",
    "\x19\x00" "defect list error",
    "\x19\x01" "defect list not available",
    "\x19\x02" "defect list error in primary list",
    "\x19\x03" "defect list error in grown list",
    "\x1A\x00" "parameter list length error",
    "\x1B\x00" "synchronous data transfer error",
    "\x1C\x00" "defect list not found",
    "\x1C\x01" "primary defect list not found",
    "\x1C\x02" "grown defect list not found",
    "\x1D\x00" "miscompare during verify operation",
    "\x1E\x00" "recovered id with ecc correction",
    "\x1F\x00" "partial defect list transfer",
    "\x20\x00" "invalid command operation code",
    "\x21\x00" "logical block address out of range",
    "\x21\x01" "invalid element address",
    "\x22\x00" "illegal function (use 20 00, 24 00, or 26 00)",
    "\x24\x00" "invalid field in cdb",
    "\x25\x00" "logical unit not supported",
    "\x26\x00" "invalid field in parameter list",
    "\x26\x01" "parameter not supported",
    "\x26\x02" "parameter value invalid",
    "\x26\x03" "threshold parameters not supported",
    "\x26\x04" "invalid release of active persistent reservation",
    "\x27\x00" "write protected",
    "\x27\x01" "hardware write protected",
    "\x27\x02" "logical unit software write protected",
    "\x27\x03" "associated write protect",
    "\x27\x04" "persistent write protect",
    "\x27\x05" "permanent write protect",
    "\x28\x00" "not ready to ready change, medium may have changed",
    "\x28\x01" "import or export element accessed",
    "\x29\x00" "power on, reset, or bus device reset occurred",
    "\x29\x01" "power on occurred",
    "\x29\x02" "scsi bus reset occurred",
    "\x29\x03" "bus device reset function occurred",
    "\x29\x04" "device internal reset",
    "\x29\x05" "transceiver mode changed to single-ended",
    "\x29\x06" "transceiver mode changed to lvd",
    "\x2A\x00" "parameters changed",
    "\x2A\x01" "mode parameters changed",
    "\x2A\x02" "log parameters changed",
    "\x2A\x03" "reservations preempted",
    "\x2B\x00" "copy cannot execute since host cannot disconnect",
    "\x2C\x00" "command sequence error",
    "\x2C\x01" "too many windows specified",
    "\x2C\x02" "invalid combination of windows specified",
    "\x2C\x03" "current program area is not empty",
    "\x2C\x04" "current program area is empty",
    "\x2D\x00" "overwrite error on update in place",
    "\x2F\x00" "commands cleared by another initiator",
    "\x30\x00" "incompatible medium installed",
    "\x30\x01" "cannot read medium - unknown format",
    "\x30\x02" "cannot read medium - incompatible format",
    "\x30\x03" "cleaning cartridge installed",
    "\x30\x04" "cannot write medium - unknown format",
    "\x30\x05" "cannot write medium - incompatible format",
    "\x30\x06" "cannot format medium - incompatible medium",
    "\x30\x07" "cleaning failure",
    "\x30\x08" "cannot write - application code mismatch",
    "\x30\x09" "current session not fixated for append",
    "\x31\x00" "medium format corrupted",
    "\x31\x01" "format command failed",
    "\x32\x00" "no defect spare location available",
    "\x32\x01" "defect list update failure",
    "\x33\x00" "tape length error",
    "\x34\x00" "enclosure failure",
    "\x35\x00" "enclosure services failure",
    "\x35\x01" "unsupported enclosure function",
    "\x35\x02" "enclosure services unavailable",
    "\x35\x03" "enclosure services transfer failure",
    "\x35\x04" "enclosure services transfer refused",
    "\x36\x00" "ribbon, ink, or toner failure",
    "\x37\x00" "rounded parameter",
    "\x39\x00" "saving parameters not supported",
    "\x3A\x00" "medium not present",
    "\x3A\x01" "medium not present - tray closed",
    "\x3A\x02" "medium not present - tray open",
    "\x3B\x00" "sequential positioning error",
    "\x3B\x01" "tape position error at beginning-of-medium",
    "\x3B\x02" "tape position error at end-of-medium",
    "\x3B\x03" "tape or electronic vertical forms unit not ready",
    "\x3B\x04" "slew failure",
    "\x3B\x05" "paper jam",
    "\x3B\x06" "failed to sense top-of-form",
    "\x3B\x07" "failed to sense bottom-of-form",
    "\x3B\x08" "reposition error",
    "\x3B\x09" "read past end of medium",
    "\x3B\x0A" "read past beginning of medium",
    "\x3B\x0B" "position past end of medium",
    "\x3B\x0C" "position past beginning of medium",
    "\x3B\x0D" "medium destination element full",
    "\x3B\x0E" "medium source element empty",
    "\x3B\x0F" "end of medium reached",
    "\x3B\x11" "medium magazine not accessible",
    "\x3B\x12" "medium magazine removed",
    "\x3B\x13" "medium magazine inserted",
    "\x3B\x14" "medium magazine locked",
    "\x3B\x15" "medium magazine unlocked",
    "\x3D\x00" "invalid bits in identify message",
    "\x3E\x00" "logical unit has not self-configured yet",
    "\x3E\x01" "logical unit failure",
    "\x3E\x02" "timeout on logical unit",
    "\x3F\x00" "target operating conditions have changed",
    "\x3F\x01" "microcode has been changed",
    "\x3F\x02" "changed operating definition",
    "\x3F\x03" "inquiry data has changed",
    "\x40\x00" "ram failure (should use 40 nn)",
    "\x41\x00" "data path failure (should use 40 nn)",
    "\x42\x00" "power-on or self-test failure (should use 40 nn)",
    "\x43\x00" "message error",
    "\x44\x00" "internal target failure",
    "\x45\x00" "select or reselect failure",
    "\x46\x00" "unsuccessful soft reset",
    "\x47\x00" "scsi parity error",
    "\x48\x00" "initiator detected error message received",
    "\x49\x00" "invalid message error",
    "\x4A\x00" "command phase error",
    "\x4B\x00" "data phase error",
    "\x4C\x00" "logical unit failed self-configuration",
    "\x4E\x00" "overlapped commands attempted",
    "\x50\x00" "write append error",
    "\x50\x01" "write append position error",
    "\x50\x02" "position error related to timing",
    "\x51\x00" "erase failure",
    "\x52\x00" "cartridge fault",
    "\x53\x00" "media load or eject failed",
    "\x53\x01" "unload tape failure",
    "\x53\x02" "medium removal prevented",
    "\x54\x00" "scsi to host system interface failure",
    "\x55\x00" "system resource failure",
    "\x55\x01" "system buffer full",
    "\x57\x00" "unable to recover table-of-contents",
    "\x58\x00" "generation does not exist",
    "\x59\x00" "updated block read",
    "\x5A\x00" "operator request or state change input",
    "\x5A\x01" "operator medium removal request",
    "\x5A\x02" "operator selected write protect",
    "\x5A\x03" "operator selected write permit",
    "\x5B\x00" "log exception",
    "\x5B\x01" "threshold condition met",
    "\x5B\x02" "log counter at maximum",
    "\x5B\x03" "log list codes exhausted",
    "\x5C\x00" "rpl status change",
    "\x5C\x01" "spindles synchronized",
    "\x5C\x02" "spindles not synchronized",
    "\x5D\x00" "failure prediction threshold exceeded",
    "\x5D\xFF" "failure prediction threshold exceeded (false)",
    "\x5E\x00" "low power condition on",
    "\x5E\x01" "idle condition activated by timer",
    "\x5E\x02" "standby condition activated by timer",
    "\x5E\x03" "idle condition activated by command",
    "\x5E\x04" "standby condition activated by command",
    "\x60\x00" "lamp failure",
    "\x61\x00" "video acquisition error",
    "\x61\x01" "unable to acquire video",
    "\x61\x02" "out of focus",
    "\x62\x00" "scan head positioning error",
    "\x63\x00" "end of user area encountered on this track",
    "\x63\x01" "packet does not fit in available space",
    "\x64\x00" "illegal mode for this track",
    "\x64\x01" "invalid packet size",
    "\x65\x00" "voltage fault",
    "\x66\x00" "automatic document feeder cover up",
    "\x66\x01" "automatic document feeder lift up",
    "\x66\x02" "document jam in automatic document feeder",
    "\x66\x03" "document miss feed automatic in document feeder",
    "\x67\x00" "configuration failure",
    "\x67\x01" "configuration of incapable logical units failed",
    "\x67\x02" "add logical unit failed",
    "\x67\x03" "modification of logical unit failed",
    "\x67\x04" "exchange of logical unit failed",
    "\x67\x05" "remove of logical unit failed",
    "\x67\x06" "attachment of logical unit failed",
    "\x67\x07" "creation of logical unit failed",
    "\x68\x00" "logical unit not configured",
    "\x69\x00" "data loss on logical unit",
    "\x69\x01" "multiple logical unit failures",
    "\x69\x02" "parity/data mismatch",
    "\x6A\x00" "informational, refer to log",
    "\x6B\x00" "state change has occurred",
    "\x6B\x01" "redundancy level got better",
    "\x6B\x02" "redundancy level got worse",
    "\x6C\x00" "rebuild failure occurred",
    "\x6D\x00" "recalculate failure occurred",
    "\x6E\x00" "command to logical unit failed",
    "\x71\x00" "decompression exception long algorithm id",
    "\x72\x00" "session fixation error",
    "\x72\x01" "session fixation error writing lead-in",
    "\x72\x02" "session fixation error writing lead-out",
    "\x72\x03" "session fixation error - incomplete track in session",
    "\x72\x04" "empty or partially written reserved track",
    "\x73\x00" "cd control error",
    "\x73\x01" "power calibration area almost full",
    "\x73\x02" "power calibration area is full",
    "\x73\x03" "power calibration area error",
    "\x73\x04" "program memory area update failure",
    "\x73\x05" "program memory area is full",
    nullptr,
};

const char* const sd_adaptec_error_str[] = {
    "\x19\x00" "ECC error during verify",
    "\x1A\x00" "interleave error",
    "\x1C\x00" "bad format on drive",
    "\x1D\x00" "self test failed",
    "\x1E\x00" "defective track",
    "\x23\x00" "volume overflow",
    "\x2B\x00" "set limit violation",
    "\x2C\x00" "error counter overflow",
    "\x2D\x00" "initiator detected error",
    "\x2E\x00" "scsi parity error",
    "\x2F\x00" "adapter parity error",
    nullptr,
};

const char* const sd_smo_c501_error_str[] = {
    "\x0A\x00" "disk not inserted",
    "\x0B\x00" "load/unload failure",
    "\x0C\x00" "spindle failure",
    "\x0D\x00" "focus failure",
    "\x0E\x00" "tracking failure",
    "\x0F\x00" "bias magnet failure",
    "\x23\x00" "illegal function for medium type",
    "\x38\x00" "recoverable write error",
    "\x39\x00" "write error recovery failed",
    "\x3A\x00" "defect list update failed",
    "\x3D\x00" "defect list not available",
    "\x80\x00" "limited laser life",
    "\x81\x00" "laser focus coil over-current",
    "\x82\x00" "laser tracking coil over-current",
    "\x83\x00" "temperature alarm",
    nullptr,
};
// clang-format on

namespace {

// Device kinds that select a table of their own; all others use CCS.
const char* const* table_for_kind(int ctype) {
    if (ctype >= 1 && ctype <= 5) return sd_adaptec_error_str;
    if (ctype == 700) return sd_smo_c501_error_str;
    return sd_ccs_error_str;
}

// The code bytes are compared as bytes: the text of an entry starts at its
// third byte, whatever the code bytes hold (either may be 0).
const char* find_entry(const char* const* vec, int code, int qual) {
    for (; *vec != nullptr; vec++) {
        const auto* e = reinterpret_cast<const unsigned char*>(*vec);
        if (e[0] == code && e[1] == qual) return *vec + 2;
    }
    return nullptr;
}

// Codes whose qualifier is a number rather than a key into the tables.
struct NumberedCode {
    int code;
    const char* fmt;
};
const NumberedCode numbered_codes[] = {
    {0x40, "diagnostic failure on component 0x%X"},
    {0x4D, "tagged overlapped commands, queue tag is 0x%X"},
    {0x70, "decompression exception short algorithm id of 0x%X"},
};

}  // namespace

const char* scg_sensemsg(int ctype, int code, int qual, const char** vec, char* buf, int maxcnt) {
    const char* const* first = vec != nullptr ? vec : table_for_kind(ctype);
    if (const char* msg = find_entry(first, code, qual)) return msg;
    if (const char* msg = find_entry(sd_ccs_error_str, code, qual)) return msg;

    // The fallback texts need room for at least their terminator.
    if (buf == nullptr || maxcnt <= 0) return nullptr;
    for (const NumberedCode& n : numbered_codes) {
        if (n.code == code) {
            sup::zt_snprintf(buf, maxcnt, n.fmt, qual);
            return buf;
        }
    }
    if (qual != 0) return nullptr;
    sup::zt_snprintf(buf, maxcnt, code > 0x7F ? "vendor unique sense code 0x%X" : "invalid sense code 0x%X",
                     code);
    return buf;
}

int scg__errmsg(SCSI* scgp, char* obuf, int maxcnt, const unsigned char* sense, const unsigned char* status,
                int sense_code) {
    const unsigned char* s = sense;
    const bool extended = (s[0] & 0x7F) >= 0x70;
    int key = 0;
    const char* key_name = "[]";
    std::uint32_t info = 0;
    int qual = 0, fru = 0, segment = 0;
    bool info_valid = false, file_mark = false, end_of_medium = false, ili = false;
    bool sksv = false, no_qual_match = false;
    int code;

    if (extended) {
        code = sense_code >= 0 ? sense_code : s[12];
        segment = s[1];
        qual = s[13];
        fru = s[14];
        sksv = (s[15] & 0x80) != 0;
    } else {
        code = s[0] & 0x7F;
    }

    char msgbuf[80];
    const char* msg;
    if ((status[0] & 0x02) == 0) {
        msg = "no sense";
    } else {
        if (extended) {
            key = s[2] & 0x0F;
            key_name = sd_sense_keys[key];
            info = std::uint32_t{s[3]} << 24 | std::uint32_t{s[4]} << 16 | std::uint32_t{s[5]} << 8 | s[6];
            file_mark = (s[2] & 0x80) != 0;
            end_of_medium = (s[2] & 0x40) != 0;
            ili = (s[2] & 0x20) != 0;
        } else {
            key = -1;
            info = std::uint32_t{s[1]} << 16 | std::uint32_t{s[2]} << 8 | s[3];
        }
        info_valid = (s[0] & 0x80) != 0;

        const int ctype = scgp != nullptr ? scgp->device_kind : 0;
        const char** vec = scgp != nullptr ? scgp->nonstderrs : nullptr;
        msg = scg_sensemsg(ctype, code, qual, vec, msgbuf, sizeof msgbuf);
        if (msg == nullptr) {
            msg = scg_sensemsg(ctype, code, 0, vec, msgbuf, sizeof msgbuf);
            no_qual_match = true;
        }
        if (msg == nullptr) msg = "";
    }

    // A short buffer ends the report at the first piece that does not fit;
    // what did fit stays, terminated.
    Composer c(obuf, maxcnt);
    auto piece = [&c](const char* fmt, const auto&... args) {
        int before = c.stored();
        return c.put(fmt, args...) && !c.cut() && c.stored() > before;
    };
    const bool has_msg = *msg != '\0';
    if (!piece("%sSense Key: 0x%X %s%s, Segment %d\n", "", key, key_name,
               (s[0] & 0x7F) == 0x71 ? ", deferred error" : "", segment) ||
        !piece("Sense Code: 0x%02X Qual 0x%02X %s%s%s%s Fru 0x%X\n", code, qual, has_msg ? "(" : "", msg,
               has_msg ? ")" : "", no_qual_match ? " [No matching qualifier]" : "", fru) ||
        !piece("Sense flags: Blk %d %s%s%s%s", static_cast<std::int32_t>(info),
               info_valid ? "(valid) " : "(not valid) ", file_mark ? "file mark detected " : "",
               end_of_medium ? "end of medium " : "", ili ? "illegal block length " : "")) {
        return c.stored();
    }
    if (sksv) {
        const int field = s[16] << 8 | s[17];
        bool ok = true;
        switch (key) {
        case 1:
        case 3:
        case 4: ok = piece("actual retry count %d", field); break;
        case 2: ok = piece("operation %d%% done", (field * 100) >> 16); break;
        case 5:
            ok = piece("error refers to %s part, bit ptr %d %s field ptr %d",
                       (s[15] & 0x40) ? "command" : "data", s[15] & 7,
                       (s[15] & 0x08) ? "(valid)" : "(not valid)", field);
            break;
        default: break;
        }
        if (!ok) return c.stored();
    }
    piece("\n");
    return c.stored();
}

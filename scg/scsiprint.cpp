// Diagnostic printing of a command record: the error report, the trace head
// and tail that scg_cmd writes around a command, the trace pieces, the status
// line, byte dumps and the device line, and the handle's error text buffer.
//
// Each text is composed by its s-form; the printing forms compose into a
// local buffer with the same s-form and write the result out, so a text
// exists in one place only.
#include <cstdio>

#include "scg/scg.h"
#include "scg/scgcompose.h"
#include "support/comerr.h"
#include "support/printf.h"

using scg_internal::Composer;

namespace {

constexpr int kMaxDump = 100;  // data bytes shown of a transfer

using SForm = int (*)(SCSI*, char*, int);

// Composes with an s-form and writes what it produced to f (a handle whose
// err_stream was cleared prints nothing).
int print_sform(SCSI* scgp, FILE* f, SForm sform) {
    if (f == nullptr) return 0;
    char buf[SCSI_ERRBUF_SIZE];
    int n = sform(scgp, buf, sizeof buf);
    if (n > 0) {
        sup::filewrite(f, buf, n);
        std::fflush(f);
    }
    return n;
}

int min_int(int a, int b) { return a < b ? a : b; }

// Appends " %02X" per byte.
void put_hex(Composer& c, const unsigned char* cp, int n) {
    for (int i = 0; i < n; i++) c.put(" %02X", cp[i]);
}

// Appends the label, the bytes and a newline. The label is taken as a
// format text.
void put_bytes(Composer& c, const char* label, const unsigned char* cp, int n) {
    c.put(label);
    put_hex(c, cp, n);
    c.put("\n");
}

const char* const status_texts[] = {
    "GOOD STATUS",                      // 0x00
    "CHECK CONDITION",                  // 0x02
    "CONDITION MET/GOOD",               // 0x04
    "Reserved",                         // 0x06
    "BUSY",                             // 0x08
    "Reserved",                         // 0x0A
    "Reserved",                         // 0x0C
    "Reserved",                         // 0x0E
    "INTERMEDIATE GOOD STATUS",         // 0x10
    "Reserved",                         // 0x12
    "INTERMEDIATE CONDITION MET/GOOD",  // 0x14
    "Reserved",                         // 0x16
    "RESERVATION CONFLICT",             // 0x18
    "Reserved",                         // 0x1A
    "Reserved",                         // 0x1C
    "Reserved",                         // 0x1E
};

const char* const device_types[] = {
    "Disk",   "Tape",    "Printer",         "Processor",          "WORM",
    "CD-ROM", "Scanner", "Optical Storage", "Juke Box",           "Communication",
    "IT8 1",  "IT8 2",   "Storage array",   "Enclosure services",
};

// The record's sense bytes as far as the transport claims to have filled
// them, never more than the record holds.
int sense_count(const struct scg_cmd* scmd) {
    int n = scmd->sense_received;
    if (n > SCG_MAX_SENSE) n = SCG_MAX_SENSE;
    return n < 0 ? 0 : n;
}

}  // namespace

// --- error report -----------------------------------------------------------

void scg_printerr(SCSI* scgp) { scg_fprinterr(scgp, scgp->err_stream); }

void scg_fprinterr(SCSI* scgp, FILE* f) { print_sform(scgp, f, scg_sprinterr); }

int scg_sprinterr(SCSI* scgp, char* buf, int maxcnt) {
    const int silent = scgp->silent;
    const int verbose = scgp->verbose;
    scgp->silent = 0;
    scgp->verbose = 0;
    int n = scg_svtail(scgp, nullptr, buf, maxcnt);
    scgp->silent = silent;
    scgp->verbose = verbose;
    return n;
}

int scg__sprinterr(SCSI* scgp, char* buf, int maxcnt) {
    const struct scg_cmd* scmd = scgp->cmdrec;
    char errbuf[64];
    const char* err;
    switch (scmd->error) {
    case SCGE_NONE: err = "no error"; break;
    case SCGE_RETRYABLE: err = "retryable error"; break;
    case SCGE_FATAL: err = "fatal error"; break;
    case SCGE_TIMEOUT:
        sup::zt_snprintf(errbuf, sizeof errbuf, "cmd timeout after %ld.%03ld (%d) s",
                         static_cast<long>(scgp->cmd_elapsed->tv_sec),
                         static_cast<long>(scgp->cmd_elapsed->tv_usec / 1000), scmd->timeout);
        err = errbuf;
        break;
    default:
        sup::zt_snprintf(errbuf, sizeof errbuf, "error: %d", scmd->error);
        err = errbuf;
        break;
    }
    const char* name = scgp->cmd_name != nullptr && scgp->cmd_name[0] != '\0'
                           ? scgp->cmd_name
                           : "SCSI command name not set by caller";

    // An error number of 0 names no error (a time-out leaves it so): its
    // text, "Success", would only mislead.
    const int ux_errno = scmd->ux_errno != 0 ? scmd->ux_errno : -1;
    Composer c(buf, maxcnt);
    c.take(sup::serrmsgno(ux_errno, c.pos(), c.room(), "%s: scsi sendcmd: %s\n", name, err));
    c.take(scg_sprintcdb(scgp, c.pos(), c.room()));
    if (scmd->error == SCGE_NONE || scmd->error == SCGE_RETRYABLE)
        c.take(scg_sprintstatus(scgp, c.pos(), c.room()));
    if (scmd->status[0] & 0x02) {
        c.take(scg_sprsense(c.pos(), c.room(), scmd->sense, sense_count(scmd)));
        c.take(scg__errmsg(scgp, c.pos(), c.room(), scmd->sense, scmd->status, -1));
    }
    return c.result();
}

// --- trace head and tail around a command ---------------------------------

void scg_vhead(SCSI* scgp) {
    const int room = scg_internal::errbuf_room(scgp);
    scg_internal::errbuf_advance(scgp, room, scg_svhead(scgp, scgp->errbuf_end, room));
}

int scg_svhead(SCSI* scgp, char* buf, int maxcnt) {
    Composer c(buf, maxcnt);
    if (scgp->verbose <= 0) return 0;
    const struct scg_cmd* scmd = scgp->cmdrec;
    c.put("\nExecuting '%s' command on Bus %d Target %d, Lun %d timeout %ds\n", scgp->cmd_name, scgp->scsibus,
          scgp->target, scgp->lun, scmd->timeout);
    c.take(scg_sprintcdb(scgp, c.pos(), c.room()));
    if (scgp->verbose > 1) c.take(scg_sprintwdata(scgp, c.pos(), c.room()));
    return c.result();
}

int scg_vtail(SCSI* scgp) {
    int verdict = 0;
    const int room = scg_internal::errbuf_room(scgp);
    scg_internal::errbuf_advance(scgp, room, scg_svtail(scgp, &verdict, scgp->errbuf_end, room));
    return verdict;
}

int scg_svtail(SCSI* scgp, int* retp, char* buf, int maxcnt) {
    const struct scg_cmd* scmd = scgp->cmdrec;
    const int verdict = scg_cmd_err(scgp) ? -1 : 0;
    if (retp != nullptr) *retp = verdict;

    const bool reported = scgp->silent <= 0 || scgp->verbose != 0;
    Composer c(buf, maxcnt);
    if (verdict < 0 && reported) c.take(scg__sprinterr(scgp, c.pos(), c.room()));
    if (reported && scmd->resid != 0) {
        if (scmd->resid < 0) c.put("DMA overrun, ");
        c.put("resid: %d\n", scmd->resid);
    }
    if (scgp->verbose > 0 || (verdict < 0 && scgp->silent <= 0))
        c.take(scg_sprintresult(scgp, c.pos(), c.room()));
    return c.result();
}

void scg_vsetup(SCSI* scgp) {
    scg_vhead(scgp);
    scg_vtail(scgp);
}

// --- trace pieces -----------------------------------------------------------

void scg_printcdb(SCSI* scgp) { print_sform(scgp, stderr, scg_sprintcdb); }

int scg_sprintcdb(SCSI* scgp, char* buf, int maxcnt) {
    const struct scg_cmd* scmd = scgp->cmdrec;
    int n = scg_sprbytes(buf, maxcnt, "CDB: ", scmd->cdb, min_int(scmd->cdb_len, SCG_MAX_CMD));
    return n < 0 ? 0 : n;
}

void scg_printwdata(SCSI* scgp) { print_sform(scgp, stderr, scg_sprintwdata); }

int scg_sprintwdata(SCSI* scgp, char* buf, int maxcnt) {
    const struct scg_cmd* scmd = scgp->cmdrec;
    Composer c(buf, maxcnt);
    if (scmd->size <= 0 || (scmd->flags & SCGF_RECV)) return 0;
    c.put("Sending %d (0x%X) bytes of data.\n", scmd->size, scmd->size);
    put_bytes(c, "Write Data: ", static_cast<const unsigned char*>(scmd->addr),
              scmd->addr != nullptr ? min_int(scmd->size, kMaxDump) : 0);
    return c.result();
}

void scg_printrdata(SCSI* scgp) { print_sform(scgp, stderr, scg_sprintrdata); }

int scg_sprintrdata(SCSI* scgp, char* buf, int maxcnt) {
    const struct scg_cmd* scmd = scgp->cmdrec;
    Composer c(buf, maxcnt);
    if (scmd->size <= 0 || !(scmd->flags & SCGF_RECV)) return 0;
    const int n = scg_getdmacnt(scgp);
    c.put("Got %d (0x%X), expecting %d (0x%X) bytes of data.\n", n, n, scmd->size, scmd->size);
    put_bytes(c, "Received Data: ", static_cast<const unsigned char*>(scmd->addr),
              scmd->addr != nullptr ? min_int(n, kMaxDump) : 0);
    return c.result();
}

void scg_printresult(SCSI* scgp) {
    print_sform(scgp, stderr, scg_sprintresult);
    sup::flush();
}

int scg_sprintresult(SCSI* scgp, char* buf, int maxcnt) {
    Composer c(buf, maxcnt);
    c.put("cmd finished after %ld.%03lds timeout %ds\n", static_cast<long>(scgp->cmd_elapsed->tv_sec),
          static_cast<long>(scgp->cmd_elapsed->tv_usec / 1000), scgp->cmdrec->timeout);
    if (scgp->verbose > 1) c.take(scg_sprintrdata(scgp, c.pos(), c.room()));
    return c.result();
}

// --- status -----------------------------------------------------------------

void scg_printstatus(SCSI* scgp) { print_sform(scgp, scgp->err_stream, scg_sprintstatus); }

int scg_sprintstatus(SCSI* scgp, char* buf, int maxcnt) {
    const unsigned char* st = scgp->cmdrec->status;
    Composer c(buf, maxcnt);
    c.put("status: 0x%x ", st[0]);
    if (st[0] & 0x80) c.put("0x%x ", st[1]);
    if (st[1] & 0x80) c.put("0x%x ", st[2]);
    const bool adapter_error = (st[0] & 0x80) && (st[1] & 0x01);
    c.put("(%s%s)\n", status_texts[(st[0] & 0x1e) >> 1], adapter_error ? " host adapter detected error" : "");
    return c.result();
}

int scg_cmd_status(SCSI* scgp) { return scgp->cmdrec->status[0]; }

// --- byte dumps -------------------------------------------------------------

void scg_fprbytes(FILE* f, const char* s, const unsigned char* cp, int n) {
    // Any count may come in here, so the bytes go out in pieces that a
    // local buffer holds whole.
    constexpr int kChunk = 128;
    char buf[kChunk * 3 + 1];
    sup::zt_fprintf(f, s);
    for (int i = 0; i < n; i += kChunk) {
        Composer c(buf, sizeof buf);
        put_hex(c, cp + i, min_int(n - i, kChunk));
        sup::filewrite(f, buf, c.stored());
    }
    sup::filewrite(f, "\n", 1);
}

void scg_prbytes(const char* s, const unsigned char* cp, int n) { scg_fprbytes(stderr, s, cp, n); }

int scg_sprbytes(char* buf, int maxcnt, const char* s, const unsigned char* cp, int n) {
    Composer c(buf, maxcnt);
    put_bytes(c, s, cp, n);
    return c.result();
}

void scg_fprsense(FILE* f, const unsigned char* cp, int n) { scg_fprbytes(f, "Sense Bytes:", cp, n); }

void scg_prsense(const unsigned char* cp, int n) { scg_fprsense(stderr, cp, n); }

int scg_sprsense(char* buf, int maxcnt, const unsigned char* cp, int n) {
    return scg_sprbytes(buf, maxcnt, "Sense Bytes:", cp, n);
}

// --- sense accessors --------------------------------------------------------

namespace {
bool extended_sense(const struct scg_cmd* scmd) { return (scmd->sense[0] & 0x7F) >= 0x70; }
}  // namespace

int scg_sense_key(SCSI* scgp) {
    const struct scg_cmd* scmd = scgp->cmdrec;
    if (!scg_cmd_err(scgp)) return 0;
    return extended_sense(scmd) ? scmd->sense[2] & 0x0F : -1;
}

int scg_sense_code(SCSI* scgp) {
    const struct scg_cmd* scmd = scgp->cmdrec;
    if (!scg_cmd_err(scgp)) return 0;
    return extended_sense(scmd) ? scmd->sense[12] : scmd->sense[0] & 0x7F;
}

int scg_sense_qual(SCSI* scgp) {
    const struct scg_cmd* scmd = scgp->cmdrec;
    if (!scg_cmd_err(scgp)) return 0;
    return extended_sense(scmd) ? scmd->sense[13] : 0;
}

// --- device line ------------------------------------------------------------

void scg_fprintdev(FILE* f, const unsigned char* inq) {
    const int q = (inq[0] >> 5) & 7;
    const int t = inq[0] & 0x1f;
    const int fmt = inq[3] & 0x0f;

    if (inq[1] & 0x80) sup::zt_fprintf(f, "Removable ");
    if (fmt > 1) {
        switch (q) {
        case 0: break;
        case 1: sup::zt_fprintf(f, "not present "); break;
        case 2: sup::zt_fprintf(f, "reserved "); break;
        case 3:
            if (t == 0x1f) {
                sup::zt_fprintf(f, "unsupported\n");
                return;
            }
            sup::zt_fprintf(f, "unsupported ");
            break;
        default: sup::zt_fprintf(f, "vendor specific %d ", q); break;
        }
    }
    if (t < static_cast<int>(sizeof device_types / sizeof device_types[0]))
        sup::zt_fprintf(f, "%s", device_types[t]);
    else if (t == 0x1f && fmt > 1)
        sup::zt_fprintf(f, "unknown/no device");
    else if (t == 0x1f && q == 3)
        sup::zt_fprintf(f, "unit not present");
    else
        sup::zt_fprintf(f, "unknown device type 0x%x", t);
    sup::zt_fprintf(f, "\n");
}

void scg_printdev(const unsigned char* inq) { scg_fprintdev(stdout, inq); }

// --- the handle's error text ------------------------------------------------

int scg_vprintf(SCSI* scgp, const char* fmt, sup::ArgList args) {
    const int room = scg_internal::errbuf_room(scgp);
    if (room <= 0) return -1;
    const sup::Nested nested{fmt, args};
    int n = sup::zt_snprintf(scgp->errbuf_end, room, "%r", nested);
    if (n < 0)
        *scgp->errbuf_end = '\0';
    else
        scg_internal::errbuf_advance(scgp, room, n);
    return n;
}

int scg_errflush(SCSI* scgp) {
    if (scgp->err_stream == nullptr) return 0;
    return scg_errfflush(scgp, scgp->err_stream);
}

int scg_errfflush(SCSI* scgp, FILE* f) {
    const int n = static_cast<int>(scgp->errbuf_end - scgp->errbuf_flushed);
    if (n > 0) {
        sup::filewrite(f, scgp->errbuf_flushed, n);
        std::fflush(f);
        scgp->errbuf_flushed = scgp->errbuf_end;
    }
    return n;
}

// The SCSI transport library: the handle SCSI, its command record scg_cmd,
// the transport operation table scg_ops, and the library's functions.
//
// As in C, the record type and the execute function share the name scg_cmd:
// write the type as `struct scg_cmd`.
#pragma once

#include <sys/time.h>

#include <cstdio>

#include "support/args.h"

enum {
    SCG_MAX_CMD = 24,    // CDB bytes in the command record
    SCG_MAX_STATUS = 3,  // status bytes
    SCG_MAX_SENSE = 32,  // sense bytes
    SCSI_ERRBUF_SIZE = 4096,
};

// Request bits of scg_cmd.flags.
enum {
    SCGF_RECV = 0x01,        // data flows from the device into addr
    SCGF_DISCONNECT = 0x02,  // target may disconnect
    SCGF_SILENT = 0x04,      // carried to the transport, not interpreted
    SCGF_BIT3 = 0x08,        // carried to the transport, not interpreted
    SCGF_NO_PARITY = 0x10,   // carried to the transport
};

// Error classes of scg_cmd.error.
enum {
    SCGE_NONE = 0,
    SCGE_RETRYABLE = 1,
    SCGE_FATAL = 2,
    SCGE_TIMEOUT = 3,
};

// Query codes of scg_version and the version slot.
enum {
    SCGV_VERSION = 0,
    SCGV_AUTHOR = 1,
    SCGV_ID = 2,
};

// The command record. The drive command layer clears all of it, fills the
// request part and calls scg_cmd; the transport fills the result part.
struct scg_cmd {
    void* addr;                            // data buffer, null when no data moves
    int size;                              // bytes to transfer
    int flags;                             // SCGF_* bits
    int cdb_len;                           // 6, 10 or 12
    int sense_len;                         // sense bytes wanted; clamped to 0..32 by scg_cmd
    int timeout;                           // seconds; raised to the handle's default_timeout
    int driver_debug;                      // copied from the handle
    int resid;                             // bytes not transferred; negative: overrun
    int error;                             // SCGE_*
    int ux_errno;                          // system error number of the failure, 0 if none
    unsigned char status[SCG_MAX_STATUS];  // [0] is the SCSI status byte
    unsigned char sense[SCG_MAX_SENSE];
    int sense_received;              // valid bytes in sense
    unsigned char cdb[SCG_MAX_CMD];  // group 0 (6), 1 (10) or 5 (12 bytes)
};

struct SCSI;

// The transport operation table: twelve slots in this fixed order.
struct scg_ops {
    int (*scgo_send)(SCSI* scgp);
    const char* (*scgo_version)(SCSI* scgp, int what);
    int (*scgo_open)(SCSI* scgp, const char* device);
    int (*scgo_close)(SCSI* scgp);
    long (*scgo_maxdma)(SCSI* scgp, long amt);
    void* (*scgo_getbuf)(SCSI* scgp, long amt);
    void (*scgo_freebuf)(SCSI* scgp);
    int (*scgo_havebus)(SCSI* scgp, int busno);
    int (*scgo_fileno)(SCSI* scgp, int busno, int tgt, int tlun);
    int (*scgo_initiator_id)(SCSI* scgp);
    int (*scgo_isatapi)(SCSI* scgp);
    int (*scgo_reset)(SCSI* scgp, int what);
};

// The transport handle, one per open device.
struct SCSI {
    const scg_ops* ops;
    int fd;
    int scsibus;
    int target;
    int lun;
    int driver_debug;
    int debug_level;
    int silent;
    int verbose;
    int open_verbose;
    int no_disconnect;
    int default_timeout;
    int no_parity;
    int device_kind;
    struct scg_cmd* cmdrec;
    const char* cmd_name;
    const char* running_cmd_name;
    int running;
    int maxdma;
    int max_buffer;
    struct timeval* cmd_start;
    struct timeval* cmd_elapsed;
    const char** nonstderrs;
    void* transport_data;
    void* dma_buffer_base;
    void* dma_buffer;
    char* errbuf;          // SCSI_ERRBUF_SIZE bytes
    char* errbuf_flushed;  // start of the text not yet written out
    char* errbuf_end;      // next write position
    FILE* err_stream;
    unsigned char* inquiry_data;  // 36 bytes
    int* capacity_data;           // two 32-bit integers
};

extern const scg_ops scg_std_ops;     // ASPI (scsi-wnt)
extern const scg_ops scg_dummy_ops;   // no device
extern const scg_ops scg_remote_ops;  // remote (not available)

// --- scsitransp: accessors --------------------------------------------------
const char* scg_version(SCSI* scgp, int what);
int scg__open(SCSI* scgp, const char* device);
int scg__close(SCSI* scgp);
long scg_bufsize(SCSI* scgp, long amt);
void* scg_getbuf(SCSI* scgp, long amt);
void scg_freebuf(SCSI* scgp);
int scg_havebus(SCSI* scgp, int busno);
int scg_initiator_id(SCSI* scgp);
int scg_isatapi(SCSI* scgp);
int scg_reset(SCSI* scgp, int what);
void scg_setnonstderrs(SCSI* scgp, const char** vec);

// --- scsitransp: command execution ------------------------------------------
int scg_cmd(SCSI* scgp);
void scg_vhead(SCSI* scgp);
int scg_svhead(SCSI* scgp, char* buf, int maxcnt);
int scg_vtail(SCSI* scgp);
int scg_svtail(SCSI* scgp, int* retp, char* buf, int maxcnt);
void scg_vsetup(SCSI* scgp);
int scg_getresid(SCSI* scgp);
int scg_getdmacnt(SCSI* scgp);
int scg_cmd_err(SCSI* scgp);
void __scg_times(SCSI* scgp);
int scg_yes(const char* msg);

// --- scsitransp: diagnostic printing ----------------------------------------
void scg_printerr(SCSI* scgp);
void scg_fprinterr(SCSI* scgp, FILE* f);
int scg_sprinterr(SCSI* scgp, char* buf, int maxcnt);
int scg__sprinterr(SCSI* scgp, char* buf, int maxcnt);
void scg_printcdb(SCSI* scgp);
int scg_sprintcdb(SCSI* scgp, char* buf, int maxcnt);
void scg_printwdata(SCSI* scgp);
int scg_sprintwdata(SCSI* scgp, char* buf, int maxcnt);
void scg_printrdata(SCSI* scgp);
int scg_sprintrdata(SCSI* scgp, char* buf, int maxcnt);
void scg_printresult(SCSI* scgp);
int scg_sprintresult(SCSI* scgp, char* buf, int maxcnt);
void scg_printstatus(SCSI* scgp);
int scg_sprintstatus(SCSI* scgp, char* buf, int maxcnt);
int scg_cmd_status(SCSI* scgp);
void scg_fprbytes(FILE* f, const char* s, const unsigned char* cp, int n);
void scg_prbytes(const char* s, const unsigned char* cp, int n);
int scg_sprbytes(char* buf, int maxcnt, const char* s, const unsigned char* cp, int n);
void scg_fprsense(FILE* f, const unsigned char* cp, int n);
void scg_prsense(const unsigned char* cp, int n);
int scg_sprsense(char* buf, int maxcnt, const unsigned char* cp, int n);
int scg_sense_key(SCSI* scgp);
int scg_sense_code(SCSI* scgp);
int scg_sense_qual(SCSI* scgp);
void scg_fprintdev(FILE* f, const unsigned char* inq);
void scg_printdev(const unsigned char* inq);
int scg_vprintf(SCSI* scgp, const char* fmt, sup::ArgList args);
template <class... A>
int scg_printf(SCSI* scgp, const char* fmt, const A&... args) {
    SUP_CAPTURE(list, args);
    return scg_vprintf(scgp, fmt, list);
}
int scg_errflush(SCSI* scgp);
int scg_errfflush(SCSI* scgp, FILE* f);

// --- scsiopen, scgsettarget -------------------------------------------------
SCSI* scg_open(const char* scsidev, char* errs, int slen, int debug, int be_verbose);
int scg_close(SCSI* scgp);
void scg_settimeout(SCSI* scgp, int timeout);
SCSI* scg_smalloc();
void scg_sfree(SCSI* scgp);
int scg_settarget(SCSI* scgp, int busno, int tgt, int tlun);

// --- scsierrs ---------------------------------------------------------------
const char* scg_sensemsg(int ctype, int code, int qual, const char** vec, char* buf, int maxcnt);
int scg__errmsg(SCSI* scgp, char* obuf, int maxcnt, const unsigned char* sense, const unsigned char* status,
                int sense_code);

// --- scsi-wnt: the loaded ASPI layer ---------------------------------------
// An optional entry point of the ASPI layer that scgp's transport loaded,
// looked up by name (a program's own use of what one layer offers beyond
// ASPI); null when the handle is not the ASPI transport's or the layer
// lacks it.
void* scg_layer_entry(SCSI* scgp, const char* name);

// --- scsihack / rdummy ------------------------------------------------------
const scg_ops* scg_remote();

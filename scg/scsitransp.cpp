// The handle's accessors and the execution of one command: completing the
// record from the handle, timing, the re-entry guard and the verdict. The
// trace and error text around it are composed by the printing side
// (scsiprint.cpp), which never calls back into this file.
#include <cerrno>
#include <cstring>

#include "scg/scg.h"
#include "scg/scgtimes.h"
#include "scg/scsihack.h"
#include "support/comerr.h"
#include "support/printf.h"
#include "support/utils.h"

namespace {
const char scg_lib_version[] = "0.5";
const char scg_lib_author[] = "quisto";
const char scg_lib_id[] = "scsitransp.cpp 0.5 (SCSI transport library)";
}  // namespace

// --- accessors --------------------------------------------------------------

const char* scg_version(SCSI* scgp, int what) {
    if (scgp != nullptr) return scgp->ops->scgo_version(scgp, what);
    switch (what) {
    case SCGV_VERSION: return scg_lib_version;
    case SCGV_AUTHOR: return scg_lib_author;
    case SCGV_ID: return scg_lib_id;
    default: return nullptr;
    }
}

int scg__open(SCSI* scgp, const char* device) {
    scgp->ops = scg_std_transport();
    if (device != nullptr && std::strncmp(device, "REMOTE", 6) == 0) {
        if (const scg_ops* ops = scg_remote()) scgp->ops = ops;
    }
    int ret = scgp->ops->scgo_open(scgp, device);
    if (ret >= 0) scg_settarget(scgp, scgp->scsibus, scgp->target, scgp->lun);
    return ret;
}

int scg__close(SCSI* scgp) { return scgp->ops->scgo_close(scgp); }

long scg_bufsize(SCSI* scgp, long amt) {
    long maxdma = scgp->ops->scgo_maxdma(scgp, amt);
    if (amt <= 0 || amt > maxdma) amt = maxdma;
    scgp->maxdma = static_cast<int>(maxdma);
    scgp->max_buffer = static_cast<int>(amt);
    return amt;
}

void* scg_getbuf(SCSI* scgp, long amt) {
    if (amt <= 0 || amt > scg_bufsize(scgp, amt)) return nullptr;
    scgp->dma_buffer = scgp->ops->scgo_getbuf(scgp, amt);
    return scgp->dma_buffer;
}

void scg_freebuf(SCSI* scgp) {
    scgp->ops->scgo_freebuf(scgp);
    scgp->dma_buffer = nullptr;
}

int scg_havebus(SCSI* scgp, int busno) { return scgp->ops->scgo_havebus(scgp, busno); }
int scg_initiator_id(SCSI* scgp) { return scgp->ops->scgo_initiator_id(scgp); }
int scg_isatapi(SCSI* scgp) { return scgp->ops->scgo_isatapi(scgp); }
int scg_reset(SCSI* scgp, int what) { return scgp->ops->scgo_reset(scgp, what); }
void scg_setnonstderrs(SCSI* scgp, const char** vec) { scgp->nonstderrs = vec; }

// --- command execution ------------------------------------------------------

int scg_cmd(SCSI* scgp) {
    struct scg_cmd* scmd = scgp->cmdrec;

    scgp->errbuf_flushed = scgp->errbuf_end = scgp->errbuf;
    scmd->driver_debug = scgp->driver_debug;
    if (scmd->timeout == 0 || scmd->timeout < scgp->default_timeout) scmd->timeout = scgp->default_timeout;
    if (scgp->no_disconnect) scmd->flags &= ~SCGF_DISCONNECT;
    if (scgp->no_parity) scmd->flags |= SCGF_NO_PARITY;
    scmd->sense[0] = 0;
    if (scmd->sense_len > SCG_MAX_SENSE) scmd->sense_len = SCG_MAX_SENSE;
    if (scmd->sense_len < 0) scmd->sense_len = 0;

    if (scgp->verbose > 0) {
        scg_vhead(scgp);
        scg_errflush(scgp);
    }

    // A command started while one runs (from inside a transport) is said and
    // fails as a failed send would, with "operation already in progress"; the
    // running command's flag, name and times are left as they are.
    int ret = -1;
    int err = EALREADY;
    const bool reentered = scgp->running != 0;
    if (reentered) {
        if (scgp->running_cmd_name != nullptr)
            sup::error("Currently running '%s' command.\n", scgp->running_cmd_name);
        sup::reportcond("SCSI ALREADY RUNNING !!");
    } else {
        scg_gettimeofday(scgp->cmd_start);
        scgp->running_cmd_name = scgp->cmd_name;
        scgp->running = 1;
        ret = scgp->ops->scgo_send(scgp);
        err = errno;  // the send's, not the clock's
        scgp->running = 0;
        __scg_times(scgp);
    }
    errno = err;

    if (ret < 0) {
        // A target above 7 that the transport refused is an address the bus
        // cannot have, not a broken transport: that is not said.
        if (!reentered && !(scgp->target > 7 && err == EINVAL))
            sup::errmsgno(err, "Cannot send SCSI cmd via ioctl\n");
        if (scmd->ux_errno == 0) scmd->ux_errno = err;
        if (scmd->error == SCGE_NONE) scmd->error = SCGE_FATAL;
        if (scgp->debug_level > 0) {
            sup::errmsgno(err, "ret < 0 errno: %d ux_errno: %d error: %d\n", err, scmd->ux_errno,
                          scmd->error);
        }
    }

    ret = scg_vtail(scgp);
    scg_errflush(scgp);
    return ret;
}

// The end of the input answers no: the caller sees it by feof(stdin).
int scg_yes(const char* msg) {
    char okbuf[10];
    sup::zt_printf("%s", msg);
    sup::flush();
    if (sup::getline(okbuf, sizeof okbuf) < 0) return 0;
    return sup::streql(okbuf, "y") || sup::streql(okbuf, "yes") || sup::streql(okbuf, "Y") ||
           sup::streql(okbuf, "YES");
}

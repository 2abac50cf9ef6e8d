// The handle's accessors and the execution of one command: completing the
// record from the handle, timing, the re-entry guard, the verdict, and the
// trace and error text around it.
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "scg/scg.h"
#include "scg/scgcompose.h"
#include "scg/scgtimes.h"
#include "scg/scsihack.h"
#include "support/comerr.h"
#include "support/printf.h"
#include "support/utils.h"

using scg_internal::Composer;

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
    if (scmd->timeout == 0 || scmd->timeout < scgp->default_timeout)
        scmd->timeout = scgp->default_timeout;
    if (scgp->no_disconnect) scmd->flags &= ~SCGF_DISCONNECT;
    if (scgp->no_parity) scmd->flags |= SCGF_NO_PARITY;
    scmd->sense[0] = 0;
    if (scmd->sense_len > SCG_MAX_SENSE) scmd->sense_len = SCG_MAX_SENSE;
    if (scmd->sense_len < 0) scmd->sense_len = 0;

    if (scgp->verbose > 0) {
        scg_vhead(scgp);
        scg_errflush(scgp);
    }

    if (scgp->running) {
        if (scgp->running_cmd_name != nullptr)
            sup::error("Currently running '%s' command.\n", scgp->running_cmd_name);
        sup::raisecond("SCSI ALREADY RUNNING !!", 0L);
    }
    scg_gettimeofday(scgp->cmd_start);
    scgp->running_cmd_name = scgp->cmd_name;
    scgp->running = 1;
    int ret = scgp->ops->scgo_send(scgp);
    const int err = errno;  // the send's, not the clock's
    scgp->running = 0;
    __scg_times(scgp);
    errno = err;

    if (ret < 0) {
        // A target above 7 that the transport refused is an address the bus
        // cannot have, not a broken transport.
        if (!(scgp->target > 7 && err == EINVAL)) sup::comerr("Cannot send SCSI cmd via ioctl\n");
        if (scmd->ux_errno == 0) scmd->ux_errno = err;
        if (scmd->error == SCGE_NONE) scmd->error = SCGE_FATAL;
        if (scgp->debug_level > 0) {
            sup::errmsg("ret < 0 errno: %d ux_errno: %d error: %d\n", err, scmd->ux_errno,
                        scmd->error);
        }
    }

    ret = scg_vtail(scgp);
    scg_errflush(scgp);
    return ret;
}

void scg_vhead(SCSI* scgp) {
    const int room = scg_internal::errbuf_room(scgp);
    scg_internal::errbuf_advance(scgp, room, scg_svhead(scgp, scgp->errbuf_end, room));
}

int scg_svhead(SCSI* scgp, char* buf, int maxcnt) {
    Composer c(buf, maxcnt);
    if (scgp->verbose <= 0) return 0;
    const struct scg_cmd* scmd = scgp->cmdrec;
    c.put("\nExecuting '%s' command on Bus %d Target %d, Lun %d timeout %ds\n", scgp->cmd_name,
          scgp->scsibus, scgp->target, scgp->lun, scmd->timeout);
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

int scg_getresid(SCSI* scgp) { return scgp->cmdrec->resid; }

int scg_getdmacnt(SCSI* scgp) {
    const struct scg_cmd* scmd = scgp->cmdrec;
    if (scmd->resid < 0) return scmd->size;
    return scmd->size - scmd->resid;
}

int scg_cmd_err(SCSI* scgp) {
    const struct scg_cmd* scmd = scgp->cmdrec;
    return scmd->error != SCGE_NONE || scmd->ux_errno != 0 || scmd->status[0] != 0 ||
           scmd->sense[0] != 0;
}

int scg_yes(const char* msg) {
    char okbuf[10];
    sup::zt_printf("%s", msg);
    sup::flush();
    if (sup::getline(okbuf, sizeof okbuf) < 0) std::exit(-1);
    return sup::streql(okbuf, "y") || sup::streql(okbuf, "yes") || sup::streql(okbuf, "Y") ||
           sup::streql(okbuf, "YES");
}

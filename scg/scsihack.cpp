// Transport selection, and the two tables that reach no device: the dummy
// table every new handle carries until a transport is opened, and the remote
// table, which this build has no transport behind (opening through it fails).
#include "scg/scsihack.h"

#include <cerrno>

#include "support/comerr.h"

namespace {

const char scsihack_version[] = "scsihack-1.37";
const char scsihack_author[] = "quisto";
const char scsihack_id[] = "scsihack.cpp 1.37 (dummy and remote transports)";

int scgo_dsend(SCSI*) {
    errno = EINVAL;
    return -1;
}

const char* scgo_dversion(SCSI* scgp, int what) {
    if (scgp == nullptr) return nullptr;
    switch (what) {
    case SCGV_VERSION: return scsihack_version;
    case SCGV_AUTHOR: return scsihack_author;
    case SCGV_ID: return scsihack_id;
    default: return nullptr;
    }
}

// The opens say why and fail. No system error applies, so errno is 0: the
// caller shows no stale error text and takes no number from it.
int refuse_open(const char* why) {
    sup::errmsgno(-1, "%s", why);
    errno = 0;
    return -1;
}

int scgo_dopen(SCSI*, const char*) { return refuse_open("SCSI open usage error.\n"); }

int scgo_ropen(SCSI*, const char*) { return refuse_open("No remote SCSI transport available.\n"); }

int scgo_dclose(SCSI*) {
    errno = EINVAL;
    return -1;
}

long scgo_dmaxdma(SCSI*, long) {
    errno = EINVAL;
    return 0;
}

void* scgo_dgetbuf(SCSI*, long) {
    errno = EINVAL;
    return nullptr;
}

void scgo_dfreebuf(SCSI*) {}

int scgo_dhavebus(SCSI*, int) { return 0; }

int scgo_dfileno(SCSI*, int, int, int) { return -1; }

int scgo_dinitiator_id(SCSI*) { return -1; }

int scgo_disatapi(SCSI*) { return 0; }

int scgo_dreset(SCSI*, int) {
    errno = EINVAL;
    return -1;
}

const scg_ops* std_transport = &scg_std_ops;

}  // namespace

const scg_ops scg_dummy_ops = {
    scgo_dsend,    scgo_dversion, scgo_dopen,   scgo_dclose,        scgo_dmaxdma,  scgo_dgetbuf,
    scgo_dfreebuf, scgo_dhavebus, scgo_dfileno, scgo_dinitiator_id, scgo_disatapi, scgo_dreset,
};

const scg_ops scg_remote_ops = {
    scgo_dsend,    scgo_dversion, scgo_ropen,   scgo_dclose,        scgo_dmaxdma,  scgo_dgetbuf,
    scgo_dfreebuf, scgo_dhavebus, scgo_dfileno, scgo_dinitiator_id, scgo_disatapi, scgo_dreset,
};

const scg_ops* scg_std_transport() { return std_transport; }

const scg_ops* scg_set_std_transport(const scg_ops* ops) {
    const scg_ops* old = std_transport;
    std_transport = ops ? ops : &scg_std_ops;
    return old;
}

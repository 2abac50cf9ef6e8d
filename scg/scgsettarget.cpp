// Every change of a handle's address goes through here, so that fd always
// belongs to the current bus, target and lun.
#include "scg/scg.h"

int scg_settarget(SCSI* scgp, int busno, int tgt, int tlun) {
    int fd = -1;
    if (scgp->ops != nullptr) fd = scgp->ops->scgo_fileno(scgp, busno, tgt, tlun);
    scgp->fd = fd;
    scgp->scsibus = busno;
    scgp->target = tgt;
    scgp->lun = tlun;
    return fd;
}

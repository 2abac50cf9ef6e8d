// What a finished command record says: residual count, bytes moved and
// whether the command failed. A leaf of the library, read by the execution
// and by the printing side alike.
#include "scg/scg.h"

int scg_getresid(SCSI* scgp) { return scgp->cmdrec->resid; }

int scg_getdmacnt(SCSI* scgp) {
    const struct scg_cmd* scmd = scgp->cmdrec;
    if (scmd->resid < 0) return scmd->size;
    return scmd->size - scmd->resid;
}

int scg_cmd_err(SCSI* scgp) {
    const struct scg_cmd* scmd = scgp->cmdrec;
    return scmd->error != SCGE_NONE || scmd->ux_errno != 0 || scmd->status[0] != 0 || scmd->sense[0] != 0;
}

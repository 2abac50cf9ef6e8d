// Placeholder ASPI transport: every open fails until the real one lands.
#include "scg/scg.h"

namespace {
int fail_send(SCSI*) { return -1; }
const char* no_version(SCSI*, int) { return nullptr; }
int fail_open(SCSI*, const char*) { return -1; }
int ok_close(SCSI*) { return 0; }
long no_maxdma(SCSI*, long) { return 0; }
void* no_getbuf(SCSI*, long) { return nullptr; }
void no_freebuf(SCSI*) {}
int no_bus(SCSI*, int) { return 0; }
int no_fileno(SCSI*, int, int, int) { return -1; }
int no_id(SCSI*) { return -1; }
int fail_reset(SCSI*, int) { return -1; }
}  // namespace

const scg_ops scg_std_ops = {fail_send, no_version, fail_open, ok_close, no_maxdma,
                             no_getbuf, no_freebuf, no_bus,    no_fileno, no_id,
                             no_id,     fail_reset};

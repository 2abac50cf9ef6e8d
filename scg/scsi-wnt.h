// Internals of the ASPI transport (scsi-wnt.cpp) that its tests reach
// directly. Everything else goes through scg_std_ops.
#pragma once

#include <cstdint>

#include "platform/aspi.h"
#include "scg/scg.h"

namespace scg_wnt {

// Maps the completion status of a failed request block to the record's
// error class and system error number.
void set_error(const SRB_ExecSCSICmd* s, struct scg_cmd* sp);

// Hands the request block's sense bytes and target status to the record.
void copy_sensedata(const SRB_ExecSCSICmd* s, struct scg_cmd* sp);

// The event wait for a command time-out of `seconds`: seconds times 1000,
// never negative, never past the longest finite wait.
std::uint32_t wait_millis(int seconds);

// Host adapter inquiry into the caller's block; 0 when ASPI completed it.
int ha_inquiry(SCSI* scgp, int id, SRB_HAInquiry* ip);

// Asks ASPI to abort a request in flight; 1 when ASPI confirmed it.
int scsiabort(SCSI* scgp, SRB_ExecSCSICmd* sp);

// Library state, for tests.
bool aspi_loaded();
int aspi_busses();

}  // namespace scg_wnt

#include "aspisim/tcmu_abi.h"

#include <linux/target_core_user.h>

const struct tcmu_abi tcmu_ring_abi = {
    .mailbox_size = sizeof(struct tcmu_mailbox),
    .version_at = offsetof(struct tcmu_mailbox, version),
    .flags_at = offsetof(struct tcmu_mailbox, flags),
    .ring_off_at = offsetof(struct tcmu_mailbox, cmdr_off),
    .ring_size_at = offsetof(struct tcmu_mailbox, cmdr_size),
    .head_at = offsetof(struct tcmu_mailbox, cmd_head),
    .tail_at = offsetof(struct tcmu_mailbox, cmd_tail),
    .version = TCMU_MAILBOX_VERSION,
    .cap_out_of_order = TCMU_MAILBOX_FLAG_CAP_OOOC,
    .header_size = sizeof(struct tcmu_cmd_entry_hdr),
    .len_op_at = offsetof(struct tcmu_cmd_entry_hdr, len_op),
    .id_at = offsetof(struct tcmu_cmd_entry_hdr, cmd_id),
    .uflags_at = offsetof(struct tcmu_cmd_entry_hdr, uflags),
    .entry_size = sizeof(struct tcmu_cmd_entry),
    .iov_cnt_at = offsetof(struct tcmu_cmd_entry, req.iov_cnt),
    .cdb_off_at = offsetof(struct tcmu_cmd_entry, req.cdb_off),
    .iov_at = offsetof(struct tcmu_cmd_entry, req.iov),
    .iov_size = sizeof(struct iovec),
    .iov_base_at = offsetof(struct iovec, iov_base),
    .iov_len_at = offsetof(struct iovec, iov_len),
    .status_at = offsetof(struct tcmu_cmd_entry, rsp.scsi_status),
    .sense_at = offsetof(struct tcmu_cmd_entry, rsp.sense_buffer),
    .sense_size = TCMU_SENSE_BUFFERSIZE,
    .op_mask = TCMU_OP_MASK,
    .op_pad = TCMU_OP_PAD,
    .op_cmd = TCMU_OP_CMD,
    .op_tmr = TCMU_OP_TMR,
    .align = TCMU_OP_ALIGN_SIZE,
};

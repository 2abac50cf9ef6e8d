/* Where the fields of the kernel's user-space backstore ring lie, and its
 * constants, taken from the kernel's own linux/target_core_user.h by a C
 * file: the header's inline functions do not compile as C++. */
#ifndef ASPISIM_TCMU_ABI_H
#define ASPISIM_TCMU_ABI_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

struct tcmu_abi {
    /* the mailbox at the start of the shared area */
    size_t mailbox_size, version_at, flags_at, ring_off_at, ring_size_at, head_at, tail_at;
    uint16_t version, cap_out_of_order;
    /* a ring entry: its header, a command's request, an answer */
    size_t header_size, len_op_at, id_at, uflags_at;
    size_t entry_size, iov_cnt_at, cdb_off_at, iov_at, iov_size, iov_base_at, iov_len_at;
    size_t status_at, sense_at, sense_size;
    uint32_t op_mask, op_pad, op_cmd, op_tmr, align;
};

extern const struct tcmu_abi tcmu_ring_abi;

#ifdef __cplusplus
}
#endif

#endif

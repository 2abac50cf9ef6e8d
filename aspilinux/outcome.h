// How an SG_IO call ended, in the terms of an ASPI request block.
#pragma once

#include <scsi/sg.h>

#include "aspihost/host.h"

namespace aspilinux {

// Host statuses of the SCSI midlayer that the mapping names.
enum : unsigned short {
    DID_OK = 0x00,
    DID_NO_CONNECT = 0x01,
    DID_TIME_OUT = 0x03,
    DID_BAD_TARGET = 0x04,
    DID_PARITY = 0x06,
    DID_RESET = 0x08,
    DID_TRANSPORT_DISRUPTED = 0x0E,
    DID_TRANSPORT_FAILFAST = 0x0F,
    DID_TRANSPORT_MARGINAL = 0x14,
};

// Driver statuses (the low four bits of driver_status) that the mapping
// names; only OK and SENSE leave a command as the SCSI status says.
enum : unsigned short {
    DRIVER_OK = 0x00,
    DRIVER_BUSY = 0x01,
    DRIVER_SOFT = 0x02,
    DRIVER_MEDIA = 0x03,
    DRIVER_ERROR = 0x04,
    DRIVER_INVALID = 0x05,
    DRIVER_TIMEOUT = 0x06,
    DRIVER_HARD = 0x07,
    DRIVER_SENSE = 0x08,
};

// `err` is the ioctl's errno (0 when it succeeded) and `h` the header it
// filled; `large` tells whether the transfer was longer than the device
// takes, which makes an EINVAL or ENOMEM a refusal of its size. Sense bytes
// and the residual count come from the header. A data-out command that
// left bytes unsent (h.dxfer_direction SG_DXFER_TO_DEV) fails with
// HASTAT_DO_DU, whatever the statuses say.
aspihost::Result map_outcome(int err, const sg_io_hdr_t& h, bool large);

}  // namespace aspilinux

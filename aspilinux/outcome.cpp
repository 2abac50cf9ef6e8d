#include "aspilinux/outcome.h"

#include <algorithm>
#include <cerrno>
#include <iterator>

namespace aspilinux {

namespace {

struct ErrnoRow {
    int err;
    BYTE status;
};
constexpr ErrnoRow errno_rows[] = {
    {ENODEV, SS_NO_DEVICE},
    {ENXIO, SS_NO_DEVICE},
    {EBUSY, SS_ASPI_IS_BUSY},
    {EMSGSIZE, SS_INVALID_SRB},
};

struct HostRow {
    unsigned short did;
    BYTE hastat;
};
constexpr HostRow host_rows[] = {
    {DID_TIME_OUT, HASTAT_COMMAND_TIMEOUT},  {DID_NO_CONNECT, HASTAT_SEL_TO},
    {DID_BAD_TARGET, HASTAT_SEL_TO},         {DID_TRANSPORT_DISRUPTED, HASTAT_SEL_TO},
    {DID_TRANSPORT_FAILFAST, HASTAT_SEL_TO}, {DID_TRANSPORT_MARGINAL, HASTAT_SEL_TO},
    {DID_RESET, HASTAT_BUS_RESET},           {DID_PARITY, HASTAT_PARITY_ERROR},
};

// The driver's own status beside the SCSI status: OK and SENSE leave the
// command to its SCSI status; any other (BUSY, SOFT, MEDIA, ERROR, INVALID,
// HARD) is a failure on the way to the drive.
struct DriverRow {
    unsigned short driver;
    BYTE hastat;
};
constexpr DriverRow driver_rows[] = {
    {DRIVER_OK, HASTAT_OK},
    {DRIVER_SENSE, HASTAT_OK},
    {DRIVER_TIMEOUT, HASTAT_COMMAND_TIMEOUT},
};

// The row of `key`, or `other` when no row has it.
template <class Row, std::size_t N, class Key, class Value>
auto lookup(const Row (&rows)[N], Key Row::*key, Value Row::*value, Key wanted, Value other) {
    auto row = std::find_if(std::begin(rows), std::end(rows), [&](const Row& r) { return r.*key == wanted; });
    return row != std::end(rows) ? (*row).*value : other;
}

}  // namespace

aspihost::Result map_outcome(int err, const sg_io_hdr_t& h, bool large) {
    aspihost::Result r;
    if (err != 0) {
        // EINTR among them: the command may have reached the drive, and is
        // never sent again.
        BYTE other = (err == EINVAL || err == ENOMEM) && large ? SS_BUFFER_TO_BIG : SS_ERR;
        r.status = lookup(errno_rows, &ErrnoRow::err, &ErrnoRow::status, err, other);
        return r;
    }
    r.targstat = h.status;
    std::size_t sense = std::min<std::size_t>(h.sb_len_wr, h.mx_sb_len);
    if (sense > 0 && h.sbp != nullptr) r.sense.assign(h.sbp, h.sbp + sense);
    r.resid = h.resid > 0 ? static_cast<std::uint32_t>(h.resid) : 0;
    if (h.host_status != DID_OK) {
        r.hastat = lookup(host_rows, &HostRow::did, &HostRow::hastat, h.host_status, BYTE{HASTAT_PHASE_ERR});
    } else {
        r.hastat = lookup(driver_rows, &DriverRow::driver, &DriverRow::hastat,
                          static_cast<unsigned short>(h.driver_status & 0x0F), BYTE{HASTAT_PHASE_ERR});
    }
    // Bridges that cut a transfer short and still report GOOD exist: bytes
    // a drive never got must not count as written.
    if (r.hastat == HASTAT_OK && h.status == 0 && h.dxfer_direction == SG_DXFER_TO_DEV && h.resid != 0)
        r.hastat = HASTAT_DO_DU;
    if (r.hastat != HASTAT_OK || h.status != 0) r.status = SS_ERR;
    return r;
}

}  // namespace aspilinux

#include "aspilinux/outcome.h"

#include <algorithm>
#include <cerrno>

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

}  // namespace

aspihost::Result map_outcome(int err, const sg_io_hdr_t& h, bool large) {
    aspihost::Result r;
    if (err != 0) {
        auto row = std::find_if(std::begin(errno_rows), std::end(errno_rows),
                                [err](const ErrnoRow& e) { return e.err == err; });
        if (row != std::end(errno_rows))
            r.status = row->status;
        else
            r.status = (err == EINVAL || err == ENOMEM) && large ? SS_BUFFER_TO_BIG : SS_ERR;
        return r;
    }
    r.targstat = h.status;
    std::size_t sense = std::min<std::size_t>(h.sb_len_wr, h.mx_sb_len);
    if (sense > 0 && h.sbp != nullptr) r.sense.assign(h.sbp, h.sbp + sense);
    r.resid = h.resid > 0 ? static_cast<std::uint32_t>(h.resid) : 0;
    if (h.host_status != DID_OK) {
        auto row = std::find_if(std::begin(host_rows), std::end(host_rows),
                                [&h](const HostRow& e) { return e.did == h.host_status; });
        r.hastat = row != std::end(host_rows) ? row->hastat : BYTE{HASTAT_PHASE_ERR};
        r.status = SS_ERR;
    } else if (h.status != 0) {
        r.status = SS_ERR;
    }
    return r;
}

}  // namespace aspilinux

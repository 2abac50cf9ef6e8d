// One command through the Linux layer, request block to request block, on
// a fuzzer-made reply of the SCSI generic driver: the drive sg0 at 0:0:0:0
// of the fake kernel, its SG_IO answered from the input as the kernel would
// fill the header.
//
// Input (reply.h): the request block (flags, length, CDB, sense length)
// and the reply (errno, SCSI, host and driver status, residual, the sense
// length the driver reports, sense bytes).
//
// Checked: the command reaches the driver once; the ASPI and host adapter
// statuses are defined ones; the sense area holds the driver's sense bytes
// up to the room of both the driver's buffer and the block, zeros up to the
// block's room, and nothing beyond it; a failed call, a host or driver
// error, and a data-out command with a residual are never SS_COMP; the
// buffer length left in the block never grows. AddressSanitizer sees the
// block, the data and the driver's sense buffer at their exact sizes.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <iterator>
#include <memory>
#include <vector>

#include "aspihost/host.h"
#include "aspilinux/outcome.h"
#include "aspilinux/sgtarget.h"
#include "fuzz/sgoutcome/reply.h"
#include "platform/winevent.h"

namespace {

void require(bool ok) {
    if (!ok) std::abort();
}

// The statuses a block can end with.
// clang-format off
constexpr BYTE statuses[] = {
    SS_COMP, SS_ABORTED, SS_ABORT_FAIL, SS_ERR, SS_INVALID_CMD, SS_INVALID_HA, SS_NO_DEVICE,
    SS_INVALID_SRB, SS_BUFFER_ALIGN, SS_ILLEGAL_MODE, SS_NO_ASPI, SS_FAILED_INIT, SS_ASPI_IS_BUSY,
    SS_BUFFER_TO_BIG, SS_NO_ADAPTERS, SS_INSUFFICIENT_RESOURCES, SS_ASPI_IS_SHUTDOWN,
};
constexpr BYTE hastats[] = {
    HASTAT_OK, HASTAT_SEL_TO, HASTAT_DO_DU, HASTAT_BUS_FREE, HASTAT_PHASE_ERR, HASTAT_TIMEOUT,
    HASTAT_COMMAND_TIMEOUT, HASTAT_MESSAGE_REJECT, HASTAT_BUS_RESET, HASTAT_PARITY_ERROR,
    HASTAT_REQUEST_SENSE_FAILED,
};
// clang-format on

template <class T, std::size_t N>
bool one_of(const T (&set)[N], T v) {
    return std::find(std::begin(set), std::end(set), v) != std::end(set);
}

aspilinux_fake::FakeKernel& kernel() {
    static aspilinux_fake::FakeKernel k;
    return k;
}
std::unique_ptr<aspihost::Target> make(aspihost::Log& log) {
    return std::make_unique<aspilinux::SgTarget>(kernel(), log);
}
const aspihost::Layer fuzz_layer{"aspilinux", make};

// The layer's reports (a short transfer is said) would only slow the run.
struct Quiet : std::streambuf {
    int overflow(int c) override { return c; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Quiet quiet;
    static const bool setup =
        (kernel().plug({"sg0", "0:0:0:0", "CD-R   QV-G567L ", "5", "sr0"}), std::cerr.rdbuf(&quiet), true);
    static aspihost::Host host(fuzz_layer);
    static HANDLE event = CreateEventA(nullptr, 1, 0, nullptr);
    (void)setup;

    const reply::Input in = reply::decode(data, size);
    aspilinux_fake::FakeKernel& k = kernel();
    k.replies = {in.reply};
    k.sg_calls.clear();
    k.sg_fds.clear();
    k.opens.clear();
    k.closed.clear();
    auto block = std::make_unique<SRB_ExecSCSICmd>();
    std::unique_ptr<std::uint8_t[]> buf(in.len ? new std::uint8_t[in.len]() : nullptr);
    SRB_ExecSCSICmd& s = *block;
    s.SRB_Cmd = SC_EXEC_SCSI_CMD;
    s.SRB_Flags = static_cast<BYTE>(SRB_EVENT_NOTIFY | in.flags);
    s.SRB_BufLen = in.len;
    s.SRB_BufPointer = buf.get();
    s.SRB_SenseLen = in.sense_len;
    s.SRB_CDBLen = in.cdb_len;
    std::memcpy(s.CDBByte, in.cdb, sizeof s.CDBByte);
    std::memset(s.SenseArea, 0xEE, sizeof s.SenseArea);
    s.SRB_PostProc = event;
    ResetEvent(event);

    require(host.send(&s) == SS_PENDING);
    require(WaitForSingleObject(event, 10000) == WAIT_OBJECT_0);
    require(k.sg_calls.size() == 1);

    const reply::Reply& r = in.reply;
    require(one_of(statuses, s.SRB_Status) && one_of(hastats, s.SRB_HaStat));
    const std::size_t room = std::min<std::size_t>(s.SRB_SenseLen, sizeof s.SenseArea);
    const std::size_t sense =
        r.err ? 0 : std::min<std::size_t>(static_cast<std::size_t>(r.sense_len), k.sg_calls[0].mx_sb_len);
    for (std::size_t i = 0; i < sizeof s.SenseArea; i++)
        require(s.SenseArea[i] == (i >= room || sense == 0 ? 0xEE : i < sense ? r.sense[i] : 0));
    const bool data_out = (in.flags & (SRB_DIR_IN | SRB_DIR_OUT)) == SRB_DIR_OUT && in.len > 0;
    const int driver_status = r.driver & 0x0F;
    if (r.err != 0 || r.host != aspilinux::DID_OK ||
        (driver_status != aspilinux::DRIVER_OK && driver_status != aspilinux::DRIVER_SENSE) ||
        (data_out && r.resid != 0))
        require(s.SRB_Status != SS_COMP);
    require(s.SRB_BufLen <= in.len);
    return 0;
}

// The ASPI transport: reaches the host adapters through ASPI for Win32, the
// library WNASPI32 loaded at run time. Each command becomes one request
// block whose completion is signalled on an event of its own.

#include "scg/scsi-wnt.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <string>

#include "platform/library.h"
#include "platform/winevent.h"
#include "support/comerr.h"
#include "support/printf.h"
#include "support/utils.h"

namespace {

constexpr int kMaxBus = 15;
constexpr int kMaxTarget = 15;
constexpr int kMaxLun = 7;
constexpr long kMaxDma = 64512;  // 0xFC00 bytes per command
constexpr std::uint32_t kLongestWait = INFINITE - 1;

const char* const kVersionTexts[] = {
    "scsi-wnt-1.27",                                              // SCGV_VERSION
    "quisto",                                                     // SCGV_AUTHOR
    "@(#)scsi-wnt.cpp 1.27 ASPI for Win32 transport (WNASPI32)",  // SCGV_ID
};

// --- process-wide library state ---------------------------------------------

// Constant-initialized and trivially destroyed, so the exit handler can
// still unload it while the process ends.
constinit scg_wnt::AspiLibrary aspi_lib;

FILE* errs(SCSI* scgp) { return scgp->err_stream ? scgp->err_stream : stderr; }

bool debugging(SCSI* scgp) { return scgp->debug_level > 0; }

// ASPI writes the completion status from its own thread; read it afresh
// every time instead of trusting a value the compiler kept.
template <class Block>
BYTE status_of(const Block& s) {
    return *static_cast<const volatile BYTE*>(&s.SRB_Status);
}

void exit_func() { aspi_lib.unload(); }

// A factor the layer may give for the command waits; anything but a
// positive, finite number counts as none.
double usable_scale(double scale) { return std::isfinite(scale) && scale > 0.0 ? scale : 1.0; }

// --- the operation table ------------------------------------------------------

const char* scgo_version(SCSI* scgp, int what) {
    if (scgp == nullptr) return nullptr;
    if (what < 0 || what >= static_cast<int>(std::size(kVersionTexts))) return nullptr;
    return kVersionTexts[what];
}

int scgo_open(SCSI* scgp, const char* device) {
    const int busno = scgp->scsibus;
    const int tgt = scgp->target;
    const int tlun = scgp->lun;

    if (busno > kMaxBus || tgt > kMaxTarget || tlun > kMaxLun) {
        errno = EINVAL;
        if (scgp->errbuf != nullptr) {
            sup::zt_snprintf(scgp->errbuf, SCSI_ERRBUF_SIZE,
                             "Illegal value for busno, target or lun '%d,%d,%d'", busno, tgt, tlun);
        }
        return -1;
    }
    if ((device != nullptr && *device != '\0') || (busno == -2 && tgt == -2)) {
        errno = EINVAL;
        if (scgp->errbuf != nullptr) {
            sup::zt_snprintf(scgp->errbuf, SCSI_ERRBUF_SIZE, "Open by 'devname' not supported on this OS");
        }
        return -1;
    }
    // Either a whole device address or none at all.
    if ((tgt < 0 || tlun < 0) && !(tgt == -1 && tlun == -1)) {
        errno = EINVAL;
        return -1;
    }

    if (scgp->transport_data == nullptr) {
        // Carries nothing; it marks the handle as opened by this transport.
        scgp->transport_data = std::malloc(4);
        if (scgp->transport_data == nullptr) return 0;
    }
    if (!aspi_lib.load(scgp)) return -1;

    if (busno < aspi_lib.busses()) {
        aspi_lib.register_exit(exit_func);
        return 1;
    }
    aspi_lib.unload();
    errno = ENXIO;  // no such adapter; never a number left by the load
    return -1;
}

int scgo_close(SCSI*) {
    exit_func();
    return 0;
}

long scgo_maxdma(SCSI*, long) { return kMaxDma; }

void* scgo_getbuf(SCSI* scgp, long amt) {
    if (debugging(scgp)) sup::zt_fprintf(errs(scgp), "scgo_getbuf: %ld bytes\n", amt);
    scgp->dma_buffer_base = amt > 0 ? std::malloc(static_cast<std::size_t>(amt)) : nullptr;
    return scgp->dma_buffer_base;
}

void scgo_freebuf(SCSI* scgp) {
    std::free(scgp->dma_buffer_base);
    scgp->dma_buffer_base = nullptr;
}

int scgo_havebus(SCSI*, int busno) { return busno >= 0 && busno < aspi_lib.busses() ? 1 : 0; }

int scgo_fileno(SCSI*, int busno, int tgt, int tlun) {
    if (busno < 0 || busno >= aspi_lib.busses()) return -1;
    if (tgt < 0 || tgt > kMaxTarget) return -1;
    if (tlun < 0 || tlun > kMaxLun) return -1;
    return 1;
}

int scgo_initiator_id(SCSI* scgp) {
    SRB_HAInquiry inq;
    sup::fillbytes(&inq, sizeof inq, 0);
    if (scg_wnt::ha_inquiry(scgp, scgp->scsibus, &inq) < 0) return -1;
    return inq.HA_SCSI_ID;
}

int scgo_isatapi(SCSI*) { return -1; }

int scgo_reset(SCSI* scgp, int what) {
    if (what == 0) return 0;
    if (what != 2) {
        errno = EINVAL;
        return -1;
    }
    if (debugging(scgp)) sup::zt_fprintf(errs(scgp), "Attempting to reset SCSI device\n");
    if (!aspi_lib.loaded()) {
        sup::zt_fprintf(errs(scgp), "error in scgo_reset: ASPI driver not loaded !\n");
        return -1;
    }

    SRB_BusDeviceReset s;
    sup::fillbytes(&s, sizeof s, 0);
    HANDLE event = CreateEventA(nullptr, 1, 0, nullptr);
    if (event == nullptr) {
        errno = ENOMEM;
        return -1;
    }
    s.SRB_Cmd = SC_RESET_DEV;
    s.SRB_HaId = static_cast<BYTE>(scgp->scsibus);
    s.SRB_Flags = SRB_EVENT_NOTIFY;
    s.SRB_Target = static_cast<BYTE>(scgp->target);
    s.SRB_Lun = static_cast<BYTE>(scgp->lun);
    s.SRB_PostProc = event;

    bool signalled = true;
    if (aspi_lib.send(&s) == SS_PENDING) {
        signalled = WaitForSingleObject(event, INFINITE) == WAIT_OBJECT_0;
    }
    if (signalled) ResetEvent(event);
    CloseHandle(event);

    const BYTE status = status_of(s);
    if (status != SS_COMP) {
        sup::zt_fprintf(errs(scgp), "ERROR! 0x%08X\n", status);
        return -1;
    }
    if (debugging(scgp)) sup::zt_fprintf(errs(scgp), "Reset SCSI device completed\n");
    return 0;
}

BYTE direction(const struct scg_cmd* sp) {
    if (sp->flags & SCGF_RECV) return SRB_DIR_IN;
    return sp->size > 0 ? SRB_DIR_OUT : 0;
}

int scgo_send(SCSI* scgp) {
    struct scg_cmd* sp = scgp->cmdrec;

    if (!aspi_lib.loaded()) {
        sup::errmsgno(-1, "error in scgo_send: ASPI driver not loaded.\n");
        sp->error = SCGE_FATAL;
        return -1;
    }
    if (scgp->fd < 0) {
        // An address the adapters do not have. The caller reports the errno
        // of a failed send, so it must be this one, not one left from before
        // ("Success. Cannot send SCSI cmd via ioctl"); EINVAL, as a driver
        // answers for a target beyond its bus, which scg_cmd then leaves
        // unsaid above target 7.
        sp->error = SCGE_FATAL;
        errno = EINVAL;
        return -1;
    }

    sp->error = SCGE_NONE;
    sp->sense_received = 0;
    sp->status[0] = 0;
    sp->resid = 0;

    SRB_ExecSCSICmd s;
    sup::fillbytes(&s, sizeof s, 0);

    if (sp->cdb_len > static_cast<int>(sizeof s.CDBByte)) {
        sp->error = SCGE_FATAL;
        sp->ux_errno = EINVAL;
        sup::zt_fprintf(errs(scgp),
                        "sp->cdb_len > sizeof(SRB_ExecSCSICmd.CDBByte). Fatal error in "
                        "scgo_send, exiting...\n");
        return -1;
    }
    // ASPI takes the lengths as given and moves data through addr: a record
    // that does not describe a real buffer never reaches it.
    if (sp->cdb_len < 0 || sp->size < 0 || (sp->size > 0 && sp->addr == nullptr)) {
        sp->error = SCGE_FATAL;
        sp->ux_errno = EINVAL;
        errno = EINVAL;
        return -1;
    }
    sup::movebytes(sp->cdb, s.CDBByte, sp->cdb_len);

    HANDLE event = CreateEventA(nullptr, 1, 0, nullptr);
    if (event == nullptr) {
        sp->error = SCGE_FATAL;
        sp->ux_errno = ENOMEM;
        errno = ENOMEM;
        return -1;
    }

    s.SRB_Cmd = SC_EXEC_SCSI_CMD;
    s.SRB_HaId = static_cast<BYTE>(scgp->scsibus);
    s.SRB_Target = static_cast<BYTE>(scgp->target);
    s.SRB_Lun = static_cast<BYTE>(scgp->lun);
    s.SRB_BufLen = static_cast<DWORD>(sp->size);
    s.SRB_BufPointer = static_cast<BYTE*>(sp->addr);
    s.SRB_CDBLen = static_cast<BYTE>(sp->cdb_len);
    s.SRB_SenseLen = SENSE_LEN;
    s.SRB_PostProc = event;
    // Where the adapter reports how many bytes a transfer did not move, a
    // short transfer that completed is told from a whole one.
    const bool residual = sp->size > 0 && aspi_lib.residual(scgp->scsibus);
    s.SRB_Flags =
        static_cast<BYTE>(SRB_EVENT_NOTIFY | direction(sp) | (residual ? SRB_ENABLE_RESIDUAL_COUNT : 0));

    ResetEvent(event);
    if (aspi_lib.send(&s) == SS_PENDING) {
        std::uint32_t waited =
            WaitForSingleObject(event, scg_wnt::wait_millis(sp->timeout, aspi_lib.time_scale()));
        if (waited != WAIT_OBJECT_0 && status_of(s) != SS_PENDING) {
            // ASPI finished just as the wait ran out. It writes the status
            // before it signals, so the signal is still to come: the event
            // and this block must outlive it.
            waited = WaitForSingleObject(event, INFINITE);
        }
        if (waited == WAIT_OBJECT_0) ResetEvent(event);
        if (status_of(s) == SS_PENDING) {
            if (debugging(scgp)) sup::zt_fprintf(errs(scgp), "Timeout....\n");
            // Counts as timed out whether or not ASPI confirms the abort.
            scg_wnt::scsiabort(scgp, &s);
            ResetEvent(event);
            CloseHandle(event);
            sp->error = SCGE_TIMEOUT;
            return 1;
        }
    }
    CloseHandle(event);

    const BYTE status = status_of(s);
    if (status == SS_COMP) {
        if (residual)
            sp->resid = static_cast<int>(std::min<DWORD>(s.SRB_BufLen, static_cast<DWORD>(sp->size)));
        return 0;
    }

    if (debugging(scgp)) {
        sup::zt_fprintf(errs(scgp), "Error in scgo_send: s.SRB_Status is 0x%x\n", status);
    }
    scg_wnt::set_error(&s, sp);
    scg_wnt::copy_sensedata(&s, sp);
    if (debugging(scgp)) {
        sup::zt_fprintf(errs(scgp), "Mapped to: error %d errno: %d\n", sp->error, sp->ux_errno);
    }
    return 1;
}

// --- status mapping -------------------------------------------------------------

struct StatusClass {
    BYTE status;
    int error;
    int ux_errno;
};

constexpr StatusClass kStatusClasses[] = {
    {SS_COMP, SCGE_NONE, 0},
    {SS_PENDING, SCGE_RETRYABLE, EIO},
    {SS_ABORTED, SCGE_RETRYABLE, EIO},
    {SS_ABORT_FAIL, SCGE_RETRYABLE, EIO},
    {SS_ERR, SCGE_RETRYABLE, EIO},
    {SS_INVALID_CMD, SCGE_FATAL, EINVAL},
    {SS_INVALID_HA, SCGE_FATAL, EINVAL},
    {SS_NO_DEVICE, SCGE_FATAL, EINVAL},
    {SS_INVALID_SRB, SCGE_FATAL, EINVAL},
    {SS_OLD_MANAGER, SCGE_FATAL, EFAULT},  // also SS_BUFFER_ALIGN
    {SS_ILLEGAL_MODE, SCGE_FATAL, EINVAL},
    {SS_NO_ASPI, SCGE_FATAL, EINVAL},
    {SS_FAILED_INIT, SCGE_FATAL, EINVAL},
    {SS_ASPI_IS_BUSY, SCGE_RETRYABLE, EBUSY},
    {SS_BUFFER_TO_BIG, SCGE_RETRYABLE, ENOMEM},
    {SS_MISMATCHED_COMPONENTS, SCGE_FATAL, EINVAL},
    {SS_NO_ADAPTERS, SCGE_FATAL, EINVAL},
    {SS_INSUFFICIENT_RESOURCES, SCGE_RETRYABLE, ENOMEM},
    {SS_ASPI_IS_SHUTDOWN, SCGE_FATAL, EINVAL},
    {SS_BAD_INSTALL, SCGE_FATAL, EINVAL},
};

// A status ASPI does not publish is taken as a transient failure.
constexpr StatusClass kUnknownStatus = {0, SCGE_RETRYABLE, EIO};

}  // namespace

namespace scg_wnt {

void set_error(const SRB_ExecSCSICmd* s, struct scg_cmd* sp) {
    const StatusClass* found = &kUnknownStatus;
    for (const StatusClass& row : kStatusClasses) {
        if (row.status == s->SRB_Status) {
            found = &row;
            break;
        }
    }
    sp->error = found->error;
    sp->ux_errno = found->ux_errno;
}

void copy_sensedata(const SRB_ExecSCSICmd* s, struct scg_cmd* sp) {
    // Bounded by both sense buffers whatever the lengths claim; the count of
    // valid bytes never exceeds what was copied.
    const int wanted = std::clamp(sp->sense_len, 0, static_cast<int>(sizeof sp->sense));
    const int copied = std::min(wanted, static_cast<int>(sizeof s->SenseArea));
    sp->sense_received = std::min(static_cast<int>(s->SRB_SenseLen), copied);
    sup::fillbytes(sp->sense, 4, 0);
    sup::movebytes(s->SenseArea, sp->sense, copied);
    sp->status[0] = s->SRB_TargStat;
}

std::uint32_t wait_millis(int seconds, double scale) {
    if (seconds <= 0) return 0;
    // In double: any int of seconds times any finite factor is representable,
    // and the clamp comes before the conversion back.
    const double ms = std::round(static_cast<double>(seconds) * 1000.0 * usable_scale(scale));
    return ms > kLongestWait ? kLongestWait : static_cast<std::uint32_t>(ms);
}

int ha_inquiry(SCSI* scgp, int id, SRB_HAInquiry* ip) {
    if (!aspi_lib.loaded()) return -1;

    ip->SRB_Cmd = SC_HA_INQUIRY;
    ip->SRB_HaId = static_cast<BYTE>(id);
    ip->SRB_Flags = 0;
    ip->SRB_Hdr_Rsvd = 0;
    const DWORD status = aspi_lib.send(ip);

    if (debugging(scgp)) {
        // The name fields are blank-padded, not terminated.
        char manager[sizeof ip->HA_ManagerId + 1] = {};
        char ident[sizeof ip->HA_Identifier + 1] = {};
        sup::movebytes(ip->HA_ManagerId, manager, sizeof ip->HA_ManagerId);
        sup::movebytes(ip->HA_Identifier, ident, sizeof ip->HA_Identifier);
        FILE* f = errs(scgp);
        sup::zt_fprintf(f, "Status : %d\n", status);
        sup::zt_fprintf(f, "hacount: %d\n", ip->HA_Count);
        sup::zt_fprintf(f, "SCSI id: %d\n", ip->HA_SCSI_ID);
        sup::zt_fprintf(f, "Manager: '%.16s'\n", manager);
        sup::zt_fprintf(f, "Identif: '%.16s'\n", ident);
        scg_fprbytes(f, "Unique:", ip->HA_Unique, sizeof ip->HA_Unique);
    }
    return ip->SRB_Status == SS_COMP ? 0 : -1;
}

int scsiabort(SCSI* scgp, SRB_ExecSCSICmd* sp) {
    if (debugging(scgp)) sup::zt_fprintf(errs(scgp), "Attempting to abort SCSI command\n");
    if (!aspi_lib.loaded()) {
        sup::zt_fprintf(errs(scgp), "error in scsiabort: ASPI driver not loaded !\n");
        return 0;
    }

    SRB_Abort a;
    sup::fillbytes(&a, sizeof a, 0);
    a.SRB_Cmd = SC_ABORT_SRB;
    a.SRB_HaId = static_cast<BYTE>(scgp->scsibus);
    a.SRB_Flags = 0;
    a.SRB_ToAbort = sp;
    aspi_lib.send(&a);

    if (a.SRB_Status != SS_COMP) {
        sup::zt_fprintf(errs(scgp), "Abort ERROR! 0x%08X\n", a.SRB_Status);
        return 0;
    }
    if (debugging(scgp)) sup::zt_fprintf(errs(scgp), "Abort SCSI command completed\n");
    return 1;
}

AspiLibrary& aspi_library() { return aspi_lib; }

void* AspiLibrary::entry(const char* name) const {
    return loaded_ ? platform::library_symbol(handle_, name) : nullptr;
}

template <class F>
F AspiLibrary::lookup(const char* name) const {
    return reinterpret_cast<F>(platform::library_symbol(handle_, name));
}

bool AspiLibrary::load(SCSI* scgp) {
    if (loaded_) return true;

    // A library left loaded by a failed lookup is loaded afresh, so that
    // its reference does not outlive the handle we keep.
    if (handle_ != nullptr) {
        platform::free_library(handle_);
        handle_ = nullptr;
    }
    // None of the failures below is the system's: errno is cleared so that
    // no stale number is reported or taken for an exit status.
    std::string why;
    handle_ = platform::load_aspi_layer(why);
    if (handle_ == nullptr) {
        sup::zt_fprintf(errs(scgp), "Can not load ASPI driver! %s\n", why.c_str());
        errno = 0;
        return false;
    }

    support_info_ = lookup<GetASPI32SupportInfo_t>("GetASPI32SupportInfo");
    send_ = lookup<SendASPI32Command_t>("SendASPI32Command");
    if (support_info_ == nullptr || send_ == nullptr) {
        sup::zt_fprintf(errs(scgp), "ASPI function not found in library!\n");
        errno = 0;
        return false;
    }
    get_buffer_ = lookup<GetASPI32Buffer_t>("GetASPI32Buffer");
    free_buffer_ = lookup<FreeASPI32Buffer_t>("FreeASPI32Buffer");
    translate_address_ = lookup<TranslateASPI32Address_t>("TranslateASPI32Address");
    // Only a simulated layer shortens the waits; any other means factor 1.
    const auto scale = lookup<double(ASPI_CALL*)()>("aspisim_time_scale");
    time_scale_ = scale != nullptr ? usable_scale(scale()) : 1.0;
    loaded_ = true;

    const DWORD info = support_info_();
    const int aspi_status = (info >> 8) & 0xFF;
    const int ha_count = info & 0xFF;
    if (debugging(scgp)) {
        sup::zt_fprintf(errs(scgp), "open_driver %X HostASPIStatus=0x%x HACount=0x%x\n", info, aspi_status,
                        ha_count);
    }
    if (aspi_status != SS_COMP && aspi_status != SS_NO_ADAPTERS) {
        sup::zt_fprintf(errs(scgp), "Could not find any host adapters\n");
        sup::zt_fprintf(errs(scgp), "ASPIStatus == 0x%02X\n", aspi_status);
        errno = 0;
        return false;
    }

    busses_ = ha_count;
    for (int id = 0; id < busses_; id++) {
        SRB_HAInquiry inq;
        sup::fillbytes(&inq, sizeof inq, 0);
        // Bit 1 of the third unique byte: residual counts are reported.
        residual_[id] = ha_inquiry(scgp, id, &inq) == 0 && (inq.HA_Unique[2] & 0x02) != 0;
    }
    return true;
}

void AspiLibrary::unload() {
    if (handle_ == nullptr) return;
    loaded_ = false;
    support_info_ = nullptr;
    send_ = nullptr;
    get_buffer_ = nullptr;
    free_buffer_ = nullptr;
    translate_address_ = nullptr;
    time_scale_ = 1.0;
    platform::free_library(handle_);
    handle_ = nullptr;
}

void AspiLibrary::reset() {
    unload();
    busses_ = 0;
    for (bool& r : residual_) r = false;
}

void AspiLibrary::register_exit(void (*handler)()) {
    // The handler stays registered for the life of the process, so one
    // registration covers every later load too.
    if (!exit_registered_) exit_registered_ = std::atexit(handler) == 0;
}

}  // namespace scg_wnt

void* scg_layer_entry(SCSI* scgp, const char* name) {
    if (scgp == nullptr || scgp->ops != &scg_std_ops) return nullptr;
    return scg_wnt::aspi_library().entry(name);
}

const scg_ops scg_std_ops = {
    scgo_send,    scgo_version, scgo_open,   scgo_close,        scgo_maxdma,  scgo_getbuf,
    scgo_freebuf, scgo_havebus, scgo_fileno, scgo_initiator_id, scgo_isatapi, scgo_reset,
};

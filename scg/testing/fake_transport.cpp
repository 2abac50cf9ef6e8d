#include "scg/testing/fake_transport.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "scg/scgtimes.h"
#include "scg/scsihack.h"

namespace scg_fake {

namespace {

FakeTransport* g_active = nullptr;
FakeClock* g_clock = nullptr;

int fake_send(SCSI* scgp) {
    FakeTransport* f = FakeTransport::active();
    if (f == nullptr) {
        errno = EINVAL;
        return -1;
    }
    struct scg_cmd* scmd = scgp->cmdrec;

    Sent s;
    s.cdb_len = scmd->cdb_len;
    const int n = std::clamp(scmd->cdb_len, 0, static_cast<int>(SCG_MAX_CMD));
    s.cdb.assign(scmd->cdb, scmd->cdb + n);
    s.flags = scmd->flags;
    s.size = scmd->size;
    s.timeout = scmd->timeout;
    s.sense_len = scmd->sense_len;
    s.driver_debug = scmd->driver_debug;
    s.addr = scmd->addr;
    if (!(scmd->flags & SCGF_RECV) && scmd->addr != nullptr && scmd->size > 0) {
        const auto* p = static_cast<const unsigned char*>(scmd->addr);
        s.data.assign(p, p + scmd->size);
    }
    s.bus = scgp->scsibus;
    s.target = scgp->target;
    s.lun = scgp->lun;
    s.fd = scgp->fd;
    s.cmd_name = scgp->cmd_name != nullptr ? scgp->cmd_name : "";
    f->sent.push_back(std::move(s));
    if (f->respond) return f->respond(scgp);

    Reply r = f->fallback;
    if (!f->replies.empty()) {
        r = std::move(f->replies.front());
        f->replies.pop_front();
    }
    scmd->error = r.error;
    scmd->ux_errno = r.ux_errno;
    std::memcpy(scmd->status, r.status, sizeof scmd->status);
    const std::size_t ns = std::min(r.sense.size(), sizeof scmd->sense);
    if (ns > 0) std::memcpy(scmd->sense, r.sense.data(), ns);
    scmd->sense_received = r.sense_received >= 0 ? r.sense_received : static_cast<int>(ns);
    scmd->resid = r.resid;
    if ((scmd->flags & SCGF_RECV) && scmd->addr != nullptr && scmd->size > 0) {
        const std::size_t nd = std::min(r.data.size(), static_cast<std::size_t>(scmd->size));
        if (nd > 0) std::memcpy(scmd->addr, r.data.data(), nd);
    }
    if (r.during) r.during(scgp);
    if (r.send_errno != 0) errno = r.send_errno;
    return r.send_ret;
}

const char* fake_version(SCSI*, int what) {
    FakeTransport* f = FakeTransport::active();
    return f != nullptr && what == SCGV_VERSION ? f->version_text : nullptr;
}

int fake_open(SCSI* scgp, const char* device) {
    FakeTransport* f = FakeTransport::active();
    if (f == nullptr) return -1;
    f->opened.push_back(device != nullptr ? device : "(null)");
    if (f->on_open) f->on_open(scgp);
    return f->open_result;
}

int fake_close(SCSI*) {
    FakeTransport* f = FakeTransport::active();
    if (f == nullptr) return -1;
    f->closes++;
    return f->close_result;
}

long fake_maxdma(SCSI*, long) {
    FakeTransport* f = FakeTransport::active();
    return f != nullptr ? f->maxdma : 0;
}

void* fake_getbuf(SCSI* scgp, long amt) {
    scgp->dma_buffer_base = std::calloc(1, static_cast<std::size_t>(amt));
    return scgp->dma_buffer_base;
}

void fake_freebuf(SCSI* scgp) {
    std::free(scgp->dma_buffer_base);
    scgp->dma_buffer_base = nullptr;
    if (FakeTransport* f = FakeTransport::active()) f->freebufs++;
}

int fake_havebus(SCSI*, int busno) {
    FakeTransport* f = FakeTransport::active();
    if (f == nullptr) return 0;
    return std::find(f->buses.begin(), f->buses.end(), busno) != f->buses.end();
}

int fake_fileno(SCSI* scgp, int busno, int tgt, int tlun) {
    FakeTransport* f = FakeTransport::active();
    if (f == nullptr) return -1;
    if (f->fileno) return f->fileno(busno, tgt, tlun);
    if (!fake_havebus(scgp, busno) || tgt < 0 || tgt > 7 || tlun < 0 || tlun > 7) return -1;
    return busno * 64 + tgt * 8 + tlun;
}

int fake_initiator_id(SCSI*) {
    FakeTransport* f = FakeTransport::active();
    return f != nullptr ? f->initiator_id : -1;
}

int fake_isatapi(SCSI*) {
    FakeTransport* f = FakeTransport::active();
    return f != nullptr ? f->isatapi : -1;
}

int fake_reset(SCSI*, int what) {
    FakeTransport* f = FakeTransport::active();
    if (f == nullptr) return -1;
    f->resets.push_back(what);
    return f->reset_result;
}

}  // namespace

const scg_ops FakeTransport::ops = {
    fake_send,    fake_version, fake_open,   fake_close,        fake_maxdma,  fake_getbuf,
    fake_freebuf, fake_havebus, fake_fileno, fake_initiator_id, fake_isatapi, fake_reset,
};

FakeTransport::FakeTransport() : previous_(g_active) { g_active = this; }
FakeTransport::~FakeTransport() { g_active = previous_; }

FakeTransport* FakeTransport::active() { return g_active; }

SCSI* FakeTransport::make_handle(int bus, int target, int lun) {
    SCSI* scgp = scg_smalloc();
    if (scgp == nullptr) return nullptr;
    scgp->ops = &ops;
    scg_settarget(scgp, bus, target, lun);
    return scgp;
}

UseAsStdTransport::UseAsStdTransport() : previous_(scg_set_std_transport(&FakeTransport::ops)) {}
UseAsStdTransport::~UseAsStdTransport() { scg_set_std_transport(previous_); }

void fake_clock_read(struct timeval* tv) {
    FakeClock* c = g_clock;
    c->reads++;
    if (!c->times_.empty()) {
        c->last_ = c->times_.front();
        c->times_.pop_front();
    }
    *tv = c->last_;
}

FakeClock::FakeClock() : previous_(scg_set_timefunc(fake_clock_read)) { g_clock = this; }
FakeClock::~FakeClock() {
    scg_set_timefunc(previous_);
    g_clock = nullptr;
}

void FakeClock::push(long sec, long usec) {
    struct timeval tv;
    tv.tv_sec = sec;
    tv.tv_usec = usec;
    times_.push_back(tv);
}

}  // namespace scg_fake

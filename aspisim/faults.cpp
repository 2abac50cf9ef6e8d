#include "aspisim/faults.h"

#include <algorithm>

#include "platform/aspi.h"

namespace aspisim {

namespace {

constexpr std::uint8_t CHECK_CONDITION = 0x02;

const FaultConf& restarting() {
    static const FaultConf f = [] {
        FaultConf c;
        c.kind = FaultKind::restarting;
        return c;
    }();
    return f;
}

// A check condition leaves its sense bytes for the REQUEST SENSE that
// follows.
Outcome injected(Device& device, const FaultConf& fault) {
    if (fault.targstat == CHECK_CONDITION) device.set_pending_sense(fault.sense);
    return {fault.status, HASTAT_OK, fault.targstat, fault.sense};
}

// The byte is changed before the command and again after it: data going
// to the drive reaches it changed and the caller's buffer is as it was;
// data the drive answers ends changed, and a byte it did not write is
// left alone. An offset beyond the data changes nothing.
Outcome corrupted(Device& device, const FaultConf& fault, const std::uint8_t (&cdb)[16], std::uint8_t* buf,
                  std::uint32_t buflen) {
    const bool reaches = buf != nullptr && fault.offset < buflen;
    if (reaches) buf[fault.offset] ^= 0x01;
    Outcome o = device.execute(cdb, buf, buflen);
    if (reaches) buf[fault.offset] ^= 0x01;
    return o;
}

// A transfer cut short: what the drive answered beyond the bytes it moved
// never reaches the caller.
Outcome cut_short(Device& device, const FaultConf& fault, const std::uint8_t (&cdb)[16], std::uint8_t* buf,
                  std::uint32_t buflen) {
    Outcome o = device.execute(cdb, buf, buflen);
    if (o.status != SS_COMP || buf == nullptr) return o;
    o.resid = std::min(fault.offset, buflen);
    std::fill(buf + (buflen - o.resid), buf + buflen, std::uint8_t{0});
    return o;
}

}  // namespace

const FaultConf* next_fault(const BusConfig& bus, Device& device, std::uint8_t opcode,
                            Device::Clock::time_point now) {
    device.settle(now);
    if (device.restarting()) return &restarting();
    unsigned long n = device.count(opcode);
    const DeviceConf& at = device.conf();
    const FaultConf* planned = nullptr;
    for (const FaultConf& f : bus.faults)
        if (f.ha == at.ha && f.target == at.target && f.opcode == opcode && f.nth == n) planned = &f;
    return planned;
}

Outcome carry_out(Device& device, const FaultConf* planned, const std::uint8_t (&cdb)[16], std::uint8_t* buf,
                  std::uint32_t buflen, Device::Clock::time_point now, const Keep& keep) {
    Outcome o{SS_COMP, HASTAT_OK, 0, {}};
    if (planned == nullptr) {
        o = device.execute(cdb, buf, buflen);
    } else {
        switch (planned->kind) {
        case FaultKind::fail: o = injected(device, *planned); break;
        case FaultKind::hang:  // held by the caller, never carried out
        case FaultKind::ignore: break;
        case FaultKind::corrupt: o = corrupted(device, *planned, cdb, buf, buflen); break;
        case FaultKind::short_by: o = cut_short(device, *planned, cdb, buf, buflen); break;
        case FaultKind::restarting: o = device.restart_answer(cdb, buf, buflen); break;
        }
    }
    if (device.take_changed() && keep) keep(o);
    device.after_command(now);
    return o;
}

}  // namespace aspisim

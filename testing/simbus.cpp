#include "testing/simbus.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "aspisim/faults.h"
#include "fwimage/fwimage.h"
#include "platform/aspi.h"
#include "scg/scsi-wnt.h"

namespace qvtest {

SimulatedBus::SimulatedBus(scg_fake::FakeTransport& fake, const std::string& description, Now now)
    : fake_(fake), now_(now ? std::move(now) : [] { return aspisim::Device::Clock::now(); }) {
    aspisim::ParseResult r = aspisim::parse_bus(description, "bus");
    EXPECT_TRUE(r.ok) << (r.errors.empty() ? "" : r.errors.front());
    conf_ = std::move(r.config);
    devices_.reserve(conf_.devices.size());
    for (const aspisim::DeviceConf& d : conf_.devices) devices_.emplace_back(d);
    fake_.buses.clear();
    for (int ha = 0; ha < conf_.adapters; ha++) fake_.buses.push_back(ha);
    // As the ASPI transport: targets 0 to 15, logical units 0 to 7.
    fake_.fileno = [this](int bus, int target, int lun) {
        return bus >= 0 && bus < conf_.adapters && target >= 0 && target <= 15 && lun >= 0 && lun <= 7 ? 1
                                                                                                       : -1;
    };
    fake_.respond = [this](SCSI* scgp) { return answer(scgp); };
}

aspisim::Device& SimulatedBus::device(int ha, int target) {
    for (aspisim::Device& d : devices_)
        if (d.conf().ha == ha && d.conf().target == target) return d;
    ADD_FAILURE() << "no drive at " << ha << "," << target;
    return devices_.front();
}

std::vector<int> SimulatedBus::opcodes(int ha, int target) const {
    std::vector<int> ops;
    for (const scg_fake::Sent& s : fake_.sent)
        if (s.bus == ha && s.target == target && !s.cdb.empty()) ops.push_back(s.cdb[0]);
    return ops;
}

// What the simulated layer and the ASPI transport make of one command: the
// drive where it answers now, the fault planned for it, the outcome mapped
// as the transport maps a request block's.
int SimulatedBus::answer(SCSI* scgp) {
    struct scg_cmd* rec = scgp->cmdrec;
    rec->error = SCGE_NONE;
    rec->ux_errno = 0;
    rec->sense_received = 0;
    rec->status[0] = 0;
    rec->resid = 0;
    if (scgp->fd < 0) {
        rec->error = SCGE_FATAL;
        errno = EINVAL;
        return -1;
    }
    const auto now = now_();
    aspisim::Device* d = nullptr;
    for (aspisim::Device& dev : devices_) {
        dev.settle(now);
        if (scgp->lun == 0 && !dev.absent() && dev.address().ha == scgp->scsibus &&
            dev.address().target == scgp->target)
            d = &dev;
    }
    std::uint8_t cdb[16] = {};
    std::memcpy(cdb, rec->cdb, std::min<std::size_t>(sizeof cdb, static_cast<std::size_t>(rec->cdb_len)));
    const aspisim::FaultConf* fault = d != nullptr ? aspisim::next_fault(conf_, *d, cdb[0], now) : nullptr;
    if (fault != nullptr && fault->kind == aspisim::FaultKind::hang) {
        // The transport gives up at its time-out and aborts it.
        if (waited) waited(rec->timeout);
        rec->error = SCGE_TIMEOUT;
        return 1;
    }
    auto* data = static_cast<std::uint8_t*>(rec->addr);
    const auto len = static_cast<std::uint32_t>(rec->size > 0 ? rec->size : 0);
    const aspisim::Outcome o =
        d != nullptr ? aspisim::carry_out(*d, fault, cdb, data, len, now) : aspisim::no_device();
    if (o.status == SS_COMP) {
        rec->resid = static_cast<int>(o.resid);
        return 0;
    }
    SRB_ExecSCSICmd s{};
    s.SRB_Status = o.status;
    s.SRB_HaStat = o.hastat;
    s.SRB_TargStat = o.targstat;
    s.SRB_SenseLen = SENSE_LEN;
    std::copy_n(o.sense.begin(), std::min(o.sense.size(), sizeof s.SenseArea), s.SenseArea);
    scg_wnt::set_error(&s, rec);
    scg_wnt::copy_sensedata(&s, rec);
    return 1;
}

std::string Drive(int ha, int target, const std::string& product, const std::string& revision, bool medium) {
    return "device " + std::to_string(ha) + " " + std::to_string(target) +
           " type=5 vendor=\"DRAVLIN \" product=\"" + product + "\" revision=\"" + revision +
           "\" medium=" + (medium ? "yes" : "no") + "\n";
}

std::vector<unsigned char> Image(int type, const std::string& version, long length, bool bad_checksum) {
    fwimage::Options options;
    if (length >= 0) options.length = static_cast<std::size_t>(length);
    options.bad_checksum = bad_checksum;
    std::vector<std::uint8_t> out;
    EXPECT_EQ(fwimage::build(type, version, options, out), "");
    return {out.begin(), out.end()};
}

}  // namespace qvtest

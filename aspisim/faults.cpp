#include "aspisim/faults.h"

#include "platform/aspi.h"

namespace aspisim {

namespace {

constexpr std::uint8_t CHECK_CONDITION = 0x02;

}  // namespace

const FaultConf* next_fault(const BusConfig& bus, Device& device, std::uint8_t opcode) {
    unsigned long n = device.count(opcode);
    const DeviceConf& at = device.conf();
    const FaultConf* planned = nullptr;
    for (const FaultConf& f : bus.faults)
        if (f.ha == at.ha && f.target == at.target && f.opcode == opcode && f.nth == n) planned = &f;
    return planned;
}

Outcome injected(Device& device, const FaultConf& fault) {
    if (fault.targstat == CHECK_CONDITION) device.set_pending_sense(fault.sense);
    return {fault.status, HASTAT_OK, fault.targstat, fault.sense};
}

}  // namespace aspisim

// The faults a bus description plans (`fail`, `hang`), applied to a device's
// commands: shared by the simulated ASPI layer and the SCSI target handler,
// so that one description fails the same command on either.
#pragma once

#include <cstdint>

#include "aspisim/busconf.h"
#include "aspisim/device.h"

namespace aspisim {

// Counts the device's command with `opcode` and answers the fault planned
// for it, or null when it runs as usual.
const FaultConf* next_fault(const BusConfig& bus, Device& device, std::uint8_t opcode);

// How a command that the bus fails ends. A check condition leaves its sense
// bytes for the REQUEST SENSE that follows.
Outcome injected(Device& device, const FaultConf& fault);

}  // namespace aspisim

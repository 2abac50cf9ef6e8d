// What a bus description does to a device's commands beyond its model
// (`fail`, `hang`, `ignore`, `corrupt`, and the drive's restart after a
// commit): shared by the simulated ASPI layer and the SCSI target handler,
// so that one description does the same to a command on either.
#pragma once

#include <cstdint>
#include <functional>

#include "aspisim/busconf.h"
#include "aspisim/device.h"

namespace aspisim {

// Plans a command with `opcode` that reaches the device at `now`. A drive
// that is restarting answers it as such, uncounted; otherwise it is
// counted, and the answer is the fault planned for it, or null when it runs
// as usual.
const FaultConf* next_fault(const BusConfig& bus, Device& device, std::uint8_t opcode,
                            Device::Clock::time_point now);

// Takes a change of the device, given the command's outcome, which it may
// turn into a failure (a change that could not be kept).
using Keep = std::function<void(Outcome& o)>;

// Carries out at `now` a command that next_fault planned, but a hang, which
// its caller holds. When the command changed the device, `keep` (if any)
// gets it before a commit restarts or moves the drive.
Outcome carry_out(Device& device, const FaultConf* planned, const std::uint8_t (&cdb)[16], std::uint8_t* buf,
                  std::uint32_t buflen, Device::Clock::time_point now, const Keep& keep = {});

}  // namespace aspisim

// The simulated layer's third source of answers, beside its drive model
// and a bus description: a transcript (ASPISIM_REPLAY), replayed in strict
// order.
#pragma once

#include <memory>

#include "aspihost/host.h"

namespace aspisim {

// The adapters are the header's; each request must be the next one
// recorded (address, CDB, direction, length, the CRC-32 of data sent) and
// gets its recorded answer after its recorded time times `scale`. The
// first that differs is said once, and it and every later request fail
// with SS_ERR. A transcript that cannot be read is said as "FILE:LINE:
// what" and the layer does not start.
std::unique_ptr<aspihost::Target> make_replay(aspihost::Log& log, const char* path, double scale);

}  // namespace aspisim

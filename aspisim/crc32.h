// The command log's CRC-32 belongs to the ASPI front end; the simulator's
// tests know it by its old name.
#pragma once

#include "aspihost/crc32.h"

namespace aspisim {
using aspihost::crc32;
}  // namespace aspisim

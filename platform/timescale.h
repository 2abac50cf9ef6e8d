// The factor by which the event wait stretches or shrinks every finite time
// limit, so that tests can turn the program's long time-outs into short ones.
#pragma once

#include <chrono>
#include <cstdint>

namespace platform {

// The factor a text gives: a positive, finite decimal number, or 1 for a
// null, empty, unparsable, non-positive or non-finite text.
double parse_time_scale(const char* text);

// The factor from ASPISIM_TIME_SCALE, read on first use.
double time_scale();

// `milliseconds` (finite) times `scale`, clamped to the longest finite wait
// (0xFFFFFFFE ms) so that a huge limit never wraps.
std::chrono::microseconds scaled_wait(std::uint32_t milliseconds, double scale);

}  // namespace platform

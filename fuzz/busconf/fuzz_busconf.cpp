// The bus description parser on arbitrary text: it must refuse or accept,
// never crash or read outside the text.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "aspisim/busconf.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    aspisim::ParseResult r = aspisim::parse_bus(text, "fuzz");
    if (r.ok) {
        // What is accepted keeps the limits the simulator relies on.
        if (r.config.adapters > aspisim::MAX_ADAPTERS) __builtin_trap();
        for (const auto& d : r.config.devices) {
            if (d.ha >= r.config.adapters || d.target > aspisim::MAX_TARGET ||
                d.target == aspisim::ADAPTER_SCSI_ID)
                __builtin_trap();
            if ((d.swap && d.swap->nth == 0) ||
                (d.restart &&
                 !(d.restart->seconds >= 0 && d.restart->seconds <= aspisim::MAX_RESTART_SECONDS)))
                __builtin_trap();
            // A drive moves only to a free address of the bus.
            if (d.moveto && (d.moveto->ha >= r.config.adapters || d.moveto->target > aspisim::MAX_TARGET ||
                             d.moveto->target == aspisim::ADAPTER_SCSI_ID))
                __builtin_trap();
            for (const auto& o : r.config.devices)
                if (d.moveto && ((o.ha == d.moveto->ha && o.target == d.moveto->target) ||
                                 (&o != &d && o.moveto == d.moveto)))
                    __builtin_trap();
        }
        for (const auto& f : r.config.faults)
            if (f.nth == 0 || f.opcode > 0xFF || f.sense.size() > aspisim::MAX_SENSE_BYTES ||
                f.offset > aspisim::MAX_DATA_OFFSET)
                __builtin_trap();
    } else if (r.errors.empty()) {
        __builtin_trap();
    }
    return 0;
}

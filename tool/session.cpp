// Session set-up: the one link of the run, its I/O buffer and the drive
// table.
#include "tool/session.h"

#include <cstdint>
#include <string>

#include "platform/files.h"
#include "support/printf.h"

namespace {

constexpr int kMaxHosts = 8;

// What the command line asks of the layer, before any command reaches a
// drive.
std::optional<RunEnd> HandLayerItsFiles(const Options& o, Link& link) {
    const LayerEntries& layer = link.layer();
    if (o.log != nullptr) {
        if (layer.log_to == nullptr) return RunEnd(1, "this ASPI layer cannot keep a command log\n");
        // Lines appended to the image would be in the user's next transfer.
        if (!o.list && platform::same_named_file(o.log, o.file))
            return RunEnd(
                1, std::string("cannot write the command log to ") + o.log + ": it is the image file\n");
        if (layer.log_to(o.log) != 1)
            return RunEnd(1, std::string("cannot write the command log to ") + o.log + "\n");
    }
    if (o.record != nullptr) {
        if (layer.record_to == nullptr) return RunEnd(1, "this ASPI layer cannot record its commands\n");
        if (layer.record_to(o.record, "qvupdate " QV_VERSION) != 1)
            return RunEnd(1, std::string("cannot write the recording to ") + o.record + "\n");
    }
    return std::nullopt;
}

}  // namespace

SessionSetUp initscsi(const Options& o, Link& link) {
    SessionSetUp set_up;
    // A kernel name is the layer's to resolve, once it is loaded.
    const bool by_name = o.devtext != nullptr && DevTextIsName(o.devtext);
    set_up.end = link.open(by_name ? nullptr : o.devtext);
    if (!set_up.end) set_up.end = HandLayerItsFiles(o, link);
    if (set_up.end) return set_up;
    if (by_name) {
        if (link.layer().device_address == nullptr)
            set_up.end = RunEnd(1, "this ASPI layer cannot address drives by name\n");
        else if (!link.select_name(o.devtext))
            set_up.end = RunEnd(1, std::string("no drive is named ") + o.devtext + "\n");
        if (set_up.end) return set_up;
    }

    if (o.devtext != nullptr) {
        // Only an explicit target conflicts with dev=; a lone -ha: gives way.
        if (o.id != kNoTarget) {
            sup::printf("Ilegal HA/ID spec. Ommit -ha / -id and use correct dev= option\n");
            set_up.end = RunEnd(1);
            return set_up;
        }
        const Address a = link.address();
        if (a.lun > 0) {
            sup::printf("Illegal option 'dev=%s', must use Lun 0\n", o.devtext);
            set_up.end = RunEnd(1);
            return set_up;
        }
        if (a.target >= 0) set_up.target = Drive{a.bus, a.target};
    } else if (o.id != kNoTarget) {
        set_up.target = Drive{o.ha, o.id};
    }

    set_up.end = link.make_buffer();
    if (set_up.end) return set_up;

    std::uint8_t nhost = 0;
    for (int bus = 0; bus < kMaxHosts; bus++)
        if (link.have_bus(bus)) nhost = static_cast<std::uint8_t>(bus + 1);

    set_up.drives = link.scsi_device(nhost);
    if (set_up.drives.nfound > MAX_DRIVES)
        sup::fprintf(stderr, "qvupdate: more than %d drives found, only the first %d are used\n", MAX_DRIVES,
                     MAX_DRIVES);
    return set_up;
}

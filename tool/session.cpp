// Session set-up: the one transport handle of the run, its I/O buffer and
// the drive table.

#include <cctype>
#include <cerrno>
#include <string>
#include <string_view>

#include "platform/files.h"
#include "support/printf.h"
#include "support/utils.h"
#include "tool/qvupgrade.h"

namespace {

constexpr int kTimeout = 300;  // seconds; erasing and flashing take long
constexpr long kWantedBuffer = 40000;
// The transfers move their pieces through the buffer.
constexpr long kLeastBuffer = ROM_PIECE;
constexpr int kSectorSize = 2048;
constexpr int kMaxHosts = 8;

}  // namespace

bool DevTextIsName(std::string_view text) {
    if (text.starts_with('/')) return true;
    int numbers = 0;  // H:C:T:L: four runs of digits between three colons
    for (std::size_t at = 0; at <= text.size(); at++) {
        const bool end = at == text.size() || text[at] == ':';
        if (end && (at == 0 || !std::isdigit(static_cast<unsigned char>(text[at - 1])))) return false;
        if (end) numbers++;
        if (!end && !std::isdigit(static_cast<unsigned char>(text[at]))) return false;
    }
    return numbers == 4;
}

// The layer's entries are C functions: ASPI_CALL, the layer's calling
// convention, is every compiler's default for them.
LayerEntries LookUpLayer(SCSI* scgp) {
    LayerEntries e;
    e.log_to = reinterpret_cast<decltype(e.log_to)>(scg_layer_entry(scgp, "ASPILogTo"));
    e.record_to = reinterpret_cast<decltype(e.record_to)>(scg_layer_entry(scgp, "ASPIRecordTo"));
    e.device_name = reinterpret_cast<decltype(e.device_name)>(scg_layer_entry(scgp, "aspilinux_device_name"));
    e.device_address =
        reinterpret_cast<decltype(e.device_address)>(scg_layer_entry(scgp, "aspilinux_device_address"));
    return e;
}

void SayDriveName(Session& s, Drive at) {
    if (s.layer.device_name == nullptr || (at.ha == s.named.ha && at.id == s.named.id)) return;
    char name[128];
    if (s.layer.device_name(at.ha, at.id, 0, name, sizeof name) < 0) return;
    s.named = at;
    // After what standard output holds, where both go to one place.
    sup::flush();
    sup::fprintf(stderr, "HA:%d ID:%d = %s\n", at.ha, at.id, name);
}

Session::~Session() {
    if (scgp != nullptr) scg_close(scgp);
}

std::optional<RunEnd> initscsi(Session& s) {
    Options& o = s.options;
    char errtext[80] = "";
    // A kernel name is the layer's to resolve, once it is loaded.
    const bool by_name = o.devtext != nullptr && DevTextIsName(o.devtext);
    s.scgp = scg_open(by_name ? nullptr : o.devtext, errtext, sizeof errtext, 0, 1);
    if (s.scgp == nullptr) {
        const int err = errno;
        const std::string why =
            std::string(errtext) + (errtext[0] ? ". " : "") + "Cannot open SCSI driver.\n";
        // An ASPI layer that could not be loaded or refused to start has
        // said why; no error number applies, and none is shown or returned.
        if (err == 0) return RunEnd(1, why);
        return RunEnd(err, why, true);
    }

    // Before any command reaches a drive.
    s.layer = LookUpLayer(s.scgp);
    if (o.log != nullptr) {
        if (s.layer.log_to == nullptr) return RunEnd(1, "this ASPI layer cannot keep a command log\n");
        // Lines appended to the image would be in the user's next transfer.
        if (!o.list && platform::same_named_file(o.log, o.file))
            return RunEnd(
                1, std::string("cannot write the command log to ") + o.log + ": it is the image file\n");
        if (s.layer.log_to(o.log) != 1)
            return RunEnd(1, std::string("cannot write the command log to ") + o.log + "\n");
    }
    if (o.record != nullptr) {
        if (s.layer.record_to == nullptr) return RunEnd(1, "this ASPI layer cannot record its commands\n");
        if (s.layer.record_to(o.record, "qvupdate " QV_VERSION) != 1)
            return RunEnd(1, std::string("cannot write the recording to ") + o.record + "\n");
    }
    if (by_name) {
        if (s.layer.device_address == nullptr)
            return RunEnd(1, "this ASPI layer cannot address drives by name\n");
        int ha = 0, id = 0, lun = 0;
        if (s.layer.device_address(o.devtext, &ha, &id, &lun) != 1)
            return RunEnd(1, std::string("no drive is named ") + o.devtext + "\n");
        scg_settarget(s.scgp, ha, id, lun);
    }

    scg_settimeout(s.scgp, kTimeout);
    s.scgp->verbose = 0;
    s.scgp->debug_level = 0;
    s.scgp->capacity_data[1] = kSectorSize;

    if (o.devtext != nullptr) {
        // Only an explicit target conflicts with dev=; a lone -ha: gives way.
        if (o.id != kNoTarget) {
            sup::printf("Ilegal HA/ID spec. Ommit -ha / -id and use correct dev= option\n");
            return RunEnd(1);
        }
        o.ha = s.scgp->scsibus;
        o.id = s.scgp->target;
        if (s.scgp->lun > 0) {
            sup::printf("Illegal option 'dev=%s', must use Lun 0\n", o.devtext);
            return RunEnd(1);
        }
    }

    long size = scg_bufsize(s.scgp, kWantedBuffer);
    if (size < kLeastBuffer) return RunEnd(-1, "Cannot get sufficient memory for DMA\n", true);
    s.buffer = static_cast<unsigned char*>(scg_getbuf(s.scgp, size));
    if (s.buffer == nullptr) return RunEnd(errno, "Cannot get SCSI I/O buffer.\n", true);
    sup::fillbytes(s.buffer, static_cast<int>(size), 0);

    std::uint8_t nhost = 0;
    for (int bus = 0; bus < kMaxHosts; bus++)
        if (scg_havebus(s.scgp, bus)) nhost = static_cast<std::uint8_t>(bus + 1);

    s.drives = scsi_device(s.scgp, nhost);
    if (s.drives.nfound > MAX_DRIVES)
        sup::fprintf(stderr, "qvupdate: more than %d drives found, only the first %d are used\n", MAX_DRIVES,
                     MAX_DRIVES);
    return std::nullopt;
}

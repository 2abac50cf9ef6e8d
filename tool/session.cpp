// Session set-up: the one transport handle of the run, its I/O buffer and
// the drive table.

#include <cerrno>
#include <string>

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

Session::~Session() {
    if (scgp != nullptr) scg_close(scgp);
}

std::optional<RunEnd> initscsi(Session& s) {
    Options& o = s.options;
    char errtext[80] = "";
    s.scgp = scg_open(o.devtext, errtext, sizeof errtext, 0, 1);
    if (s.scgp == nullptr) {
        const int err = errno;
        const std::string why =
            std::string(errtext) + (errtext[0] ? ". " : "") + "Cannot open SCSI driver.\n";
        // An ASPI layer that could not be loaded or refused to start has
        // said why; no error number applies, and none is shown or returned.
        if (err == 0) return RunEnd(1, why);
        return RunEnd(err, why, true);
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

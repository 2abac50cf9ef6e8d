// Session set-up: the one transport handle of the run, its I/O buffer and
// the drive table.

#include <cerrno>

#include "support/comerr.h"
#include "support/printf.h"
#include "support/utils.h"
#include "tool/console.h"
#include "tool/qvupgrade.h"

namespace {

constexpr int kTimeout = 300;  // seconds; erasing and flashing take long
constexpr long kWantedBuffer = 40000;
// The transfers move their pieces through the buffer.
constexpr long kLeastBuffer = ROM_PIECE;
constexpr int kSectorSize = 2048;
constexpr int kMaxHosts = 8;

}  // namespace

void initscsi(const char* devtext, int* ha, int* id) {
    char errtext[80] = "";
    scgp = scg_open(devtext, errtext, sizeof errtext, 0, 1);
    if (scgp == nullptr) {
        // An ASPI layer that could not be loaded or refused to start has
        // said why; no error number applies, and none is shown or returned.
        if (errno == 0) {
            sup::errmsgno(-1, "%s%sCannot open SCSI driver.\n", errtext, errtext[0] ? ". " : "");
            EndRun(1);
        }
        sup::comerr("%s%sCannot open SCSI driver.\n", errtext, errtext[0] ? ". " : "");
    }

    scg_settimeout(scgp, kTimeout);
    scgp->verbose = 0;
    scgp->debug_level = 0;
    scgp->capacity_data[1] = kSectorSize;

    if (devtext != nullptr) {
        // Only an explicit target conflicts with dev=; a lone -ha: gives way.
        if (*id != -1) {
            sup::printf("Ilegal HA/ID spec. Ommit -ha / -id and use correct dev= option\n");
            EndRun(1);
        }
        *ha = scgp->scsibus;
        *id = scgp->target;
        if (scgp->lun > 0) {
            sup::printf("Illegal option 'dev=%s', must use Lun 0\n", devtext);
            EndRun(1);
        }
    }

    long size = scg_bufsize(scgp, kWantedBuffer);
    if (size < kLeastBuffer) sup::comerrno(-1, "Cannot get sufficient memory for DMA\n");
    buffer = static_cast<unsigned char*>(scg_getbuf(scgp, size));
    if (buffer == nullptr) sup::comerr("Cannot get SCSI I/O buffer.\n");
    sup::fillbytes(buffer, static_cast<int>(size), 0);

    for (int bus = 0; bus < kMaxHosts; bus++)
        if (scg_havebus(scgp, bus)) nhost = static_cast<std::uint8_t>(bus + 1);

    scsi_device();
    if (nfound > MAX_DRIVES)
        sup::fprintf(stderr, "qvupdate: more than %d drives found, only the first %d are used\n", MAX_DRIVES,
                     MAX_DRIVES);
}

// The upgrade of one drive: warning and confirmation, drive and medium
// checks, the transfer, and the firmware version before and after.
#include <unistd.h>

#include "fwimage/check.h"
#include "support/printf.h"
#include "support/utils.h"
#include "tool/console.h"
#include "tool/qvupgrade.h"
#include "tool/signals.h"

namespace {

// The warning and its confirmation come once per run, before the first drive.
int printed = 0;

enum {
    NO_MEDIUM = 0x3A,  // additional sense code "medium not present"
};

void ConfirmOnce() {
    if (printed) return;
    printed = 1;
    sup::printf("                 WARNING!\n");
    sup::printf("Firmware updates should be done in single user mode.\n");
    sup::printf("If you cannot put your machine into single user mode,\n");
    sup::printf("unmount and remove any media from the drive and stop\n");
    sup::printf("volume management.\n");
    for (;;) {
        DiscardTypeAhead();
        sup::printf("\nContinue? (y/n) ");
        sup::flush();
        int c;
        do {
            c = GetAnswer();
        } while (c == '\n');
        if (c == 'y') return;
        if (c == 'n') EndRun(1);
    }
}

// Up to VERSION_LEN characters, fewer when a zero byte comes first.
void CopyVersion(const char* from, char (&version)[VERSION_LEN + 1]) {
    unsigned n = 0;
    while (n < VERSION_LEN && from[n] != 0) {
        version[n] = from[n];
        n++;
    }
    version[n] = 0;
    PrintableText(version);
}

// The drive's firmware version, empty when the drive does not answer: the
// read-back of the flash identity area for the ROM-programmed model, the
// INQUIRY revision for the others.
void ReadVersion(int ha, int id, TransferProcedure procedure, char (&version)[VERSION_LEN + 1]) {
    version[0] = 0;
    if (procedure == ROM_PROGRAMMING) {
        if (ReadRom(ha, id, FLASH_ID_AREA, FLASH_ID_AREA_LEN, buffer) == 1)
            CopyVersion(reinterpret_cast<const char*>(buffer) + FLASH_ID_VERSION_AT, version);
    } else {
        char vendor[9], product[17], revision[VERSION_LEN + 1];
        if (DevInquiry(ha, id, vendor, product, revision) == 1) CopyVersion(revision, version);
    }
}

// Sends the image from offset 0 in the plan's pieces, from the copy that was
// checked: the file is not read again, so nothing that happens to it after
// the check reaches the drive. The last piece goes in the command that
// commits the image to flash, so it is sent only after every earlier piece
// went through: a piece that fails stops the transfer there.
//
// The loader mode has no download to commit: its flash is erased first and
// holds no firmware until the last block is in. A flash that did not erase
// is not programmed, since programming only clears bits and would mix the
// old firmware into the new.
//
// From the first command that changes the drive the signals are held; the
// caller releases them when the transfer has ended. `erased` tells whether
// the loader-mode flash was erased, so it holds no whole firmware unless
// every block went in.
int Transfer(int ha, int id, Image image, const TransferPlan& plan, bool& erased) {
    const bool rom = plan.procedure == ROM_PROGRAMMING;
    // The run took only an image that holds every piece; never send beyond it.
    if (!fwimage::complete(image, UpgradeDrive)) return 0;
    if (rom) {
        HoldSignals();
        if (EraseRom(ha, id) != 1) return 0;
        erased = true;
    }
    for (int p = 0; p < plan.pieces; p++) {
        const bool closing = p == plan.pieces - 1;
        const long offset = static_cast<long>(p) * plan.piece_size;
        sup::movebytes(image.data() + offset, buffer, plan.piece_size);
        HoldSignals();
        int ok = rom ? WriteRom(ha, id, closing ? 0 : 1, offset, plan.piece_size, buffer)
                     : WriteBuffer(ha, id, closing ? 5 : 4, 0, offset, plan.piece_size, buffer);
        if (ok != 1) return 0;
    }
    return 1;
}

}  // namespace

int upgrade(int ha, int id, Image image, bool* erased) {
    char text[128];
    char model[PRODUCT_ID_LEN + 1];
    int t = DravlinType(ha, id, text);
    // Taken now, from the identification's own answer.
    const bool in_use = t == -1 && DriveInUse();

    ConfirmOnce();

    if (t != UpgradeDrive) {
        if (in_use)
            sup::fprintf(stderr, "qvupdate: drive HA:%d ID:%d is in use by another process\n", ha, id);
        else if (t == 10 && UpgradeDrive == 11)
            PrintJumper();
        else
            sup::printf("No %s found at HA:%d ID:%d\n", ModelName(UpgradeDrive, model), ha, id);
        EndRun(1);
    }

    for (int i = 0; i < 3; i++) Test(ha, id);
    // Only a drive that says it has no disc is written: a ready drive may be
    // in use, and any other answer leaves its state unknown.
    if (scg_sense_code(scgp) != NO_MEDIUM) {
        sup::printf("Please remove medium from drive and try again.\n");
        EndRun(1);
    }

    const TransferPlan* plan = transfer_plan(UpgradeDrive);
    if (!plan) return 0;

    char version[VERSION_LEN + 1];
    ReadVersion(ha, id, plan->procedure, version);
    sup::printf("Current firmware version: %s\n", version);
    sup::printf("Upgrade %s (HA:%d ID:%d) in progress...", ModelName(UpgradeDrive, model), ha, id);
    sup::flush();

    bool flash_erased = false;
    int result = Transfer(ha, id, image, *plan, flash_erased);
    ReleaseSignals();
    if (erased != nullptr) *erased = flash_erased;
    sup::printf("Done\n");

    if (plan->procedure == ROM_PROGRAMMING) {
        ReadVersion(ha, id, plan->procedure, version);
        sup::printf("New firmware version: %s\n", version);
    } else {
        sleep(2);  // the drive saves the downloaded code and restarts
        ReadVersion(ha, id, plan->procedure, version);
        sup::printf("New firmware version    : %s\n", version);
    }
    return result;
}

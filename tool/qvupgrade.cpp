// qvupdate: the command line, the banner and the four modes of a run.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fwimage/check.h"
#include "support/comerr.h"
#include "support/printf.h"
#include "support/utils.h"
#include "tool/console.h"
#include "tool/qvupgrade.h"
#include "tool/signals.h"

namespace {

const char* const banner[] = {
    " ___________________________________________________________________________ ",
    "|    QVUpdate V1.21                                           01/05/09      |",
    "|    Dravlin Firmware Update program                                        |",
    " ___________________________________________________________________________ ",
};

const char* const usage[] = {
    "Usage: qvupdate filename [dev=scsidev] [-ha:ha_id] [-id:target_id] [-all] [-l]",
    "example: qvupdate g253k106.bin -all",
    "example: qvupdate g253k106.bin dev=3,0",
};

struct Options {
    const char* file = "";  // whole: a name too long to open is refused, not cut
    const char* devtext = nullptr;
    int ha = 0;
    int id = -1;  // no target given
    int all = 0;
    int list = 0;
    int help = 0;
    int file_given = 0;
    int bad_address = 0;  // an -ha:, -id: or dev= that names no drive
};

bool Is(const char* arg, const char* slash, const char* dash) {
    std::size_t n = std::strlen(slash);
    return std::strncmp(arg, slash, n) == 0 || std::strncmp(arg, dash, n) == 0;
}

// First matching rule decides; later arguments override earlier ones.
void ParseArgs(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; i++) {
        const char* arg = argv[i];
        if (Is(arg, "/l", "-l")) {
            o.list = 1;
            o.file_given = 1;
        } else if (Is(arg, "/?", "-?")) {
            o.help = 1;
        } else if (std::strncmp(arg, "dev=", 4) == 0) {
            o.devtext = arg + 4;
        } else if (Is(arg, "/id:", "-id:")) {
            if (!OptionNumber(arg, -1, o.id)) o.bad_address = 1;  // -1: no target given
        } else if (Is(arg, "/ha:", "-ha:")) {
            if (!OptionNumber(arg, 0, o.ha)) o.bad_address = 1;
        } else if (Is(arg, "/all", "-all")) {
            o.all = 1;
        } else if (std::strcmp(arg, "-debug") == 0) {
            debug = 1;
        } else if (arg[0] == '-') {
            // Unknown options are ignored without a word.
        } else {
            o.file = arg;
            o.file_given = 1;
        }
    }
    // Only the dev= text that counts: a later one overrides an earlier one.
    if (o.devtext != nullptr && !DevTextNamesTarget(o.devtext)) o.bad_address = 1;
}

enum Outcome { NO_MATCH = 0, MATCHED = 1, NEEDS_JUMPER = 2 };

// The exit status of a run that reached a mode: 1 once an upgrade failed.
int run_status = 0;

// Upgrades one drive; a failure is said, with a warning when the flash may
// be partly written. False after a failure.
bool UpgradeOne(int ha, int id, Image image) {
    bool at_risk = false;
    if (upgrade(ha, id, image, &at_risk)) return true;
    sup::printf("Error upgrading drive\n");
    if (at_risk)
        sup::printf(
            "Warning: the drive's flash is only partly written. "
            "Run the upgrade again before you switch the drive off.\n");
    run_status = 1;
    return false;
}

// Walks the drive table and upgrades the drives of the image's type, asking
// for each one unless every drive is wanted. The last drive that matched or
// needed the jumper decides the outcome.
Outcome WalkDrives(Image image, int& all, bool ask) {
    Outcome outcome = NO_MATCH;
    char text[128];
    for (int i = 0; i < ndrive && i < MAX_DRIVES; i++) {
        int t = DravlinType(arHA[i], arID[i], text);
        if (t == UpgradeDrive) {
            outcome = MATCHED;
            if (ask) {
                DiscardTypeAhead();
                sup::printf("Upgrade Dravlin drive at HA:%d ID:%d? (y/n/a) ", arHA[i], arID[i]);
                sup::flush();
                int answer = 'a';
                if (!all) {
                    do {
                        answer = GetAnswer();
                    } while (answer != 'y' && answer != 'n' && answer != 'a');
                    if (answer == 'a') all = 1;
                }
                sup::printf(" %c\n", answer);
                if (answer == 'n') continue;
            }
            if (!UpgradeOne(arHA[i], arID[i], image)) break;
        } else if (t == 10 && UpgradeDrive == 11) {
            // The drive is in its normal mode; the image is for its loader.
            outcome = NEEDS_JUMPER;
        }
    }
    return outcome;
}

// Reads the image once, identifies and checks that copy; any fault ends the
// run before a drive is touched.
std::vector<unsigned char> LoadImage(const char* file) {
    std::vector<unsigned char> image = ReadUpgradeFile(file);
    UpgradeDrive = GetUpgradeInfo(image);
    // Some checksums cover less than the transfer sends, so the length is
    // checked too: an image that would run out before the closing piece is
    // refused.
    fwimage::Verdict verdict = fwimage::Verdict::unknown;
    if (UpgradeDrive != -1) {
        const bool right = isValidUpgradeFile(image, UpgradeDrive);
        verdict = fwimage::verdict(UpgradeDrive, right, isCompleteUpgradeFile(image, UpgradeDrive));
    }
    if (verdict != fwimage::Verdict::valid) {
        sup::printf("%s\n", fwimage::verdict_text(verdict));
        EndRun(1);
    }
    const std::string model(image_model_name(UpgradeDrive));
    sup::printf("Upgrade file for %s loaded\n", model.c_str());
    return image;
}

}  // namespace

int qvupgrade_main(int argc, char** argv) {
    OccupyClosedStandardDescriptors();
    sup::save_args(argc, argv);
    // A closed or full standard output must not end the run part-way (a
    // drive may be in the middle of its transfer): writes fail quietly and
    // the run says so at its end.
    IgnoreBrokenPipe();
    sup::_io_add_my_flag(stdout, sup::_IO_NORAISE);

    Options o;
    ParseArgs(argc, argv, o);

    if (debug)
        for (int i = 0; i < numProds; i++) sup::printf("%d\t%s\n", i, ProductID[i]);

    for (const char* line : banner) sup::printf("%s\n", line);

    // -l skips the image check, so -all with it would upgrade with no
    // checked image.
    if (o.help || !o.file_given || o.bad_address || (o.all && o.list)) {
        for (const char* line : usage) sup::printf("%s\n", line);
        EndRun(1);
    }

    // The session only scans here; the image is read before any drive is
    // written.
    initscsi(o.devtext, &o.ha, &o.id);

    std::vector<unsigned char> image;
    if (!o.list) image = LoadImage(o.file);

    Outcome outcome = NO_MATCH;
    if (o.all) {
        outcome = WalkDrives(image, o.all, false);
    } else if (o.list) {
        ListDrives();
        EndRun(0);
    } else if (o.id >= 0) {
        UpgradeOne(o.ha, o.id, image);
        EndRun(run_status);
    } else {
        outcome = WalkDrives(image, o.all, true);
    }

    if (outcome == NO_MATCH)
        sup::printf("%cNo upgradable drives found\n", 7);
    else if (outcome == NEEDS_JUMPER)
        PrintJumper();
    // A drive that another program holds may be one the run was meant for.
    if (nbusy > 0) {
        sup::fprintf(stderr, "qvupdate: %d busy drive(s) could not be examined\n", nbusy);
        run_status = 1;
    }
    EndRun(run_status);
}

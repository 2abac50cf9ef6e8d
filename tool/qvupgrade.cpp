// qvupdate: the command line, the banner and the four modes of a run.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fwimage/check.h"
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

// A rule of the command line: an argument that begins with one of its
// forms (null: none), or that is `whole` exactly, is taken by `take`.
struct Rule {
    const char* slash;
    const char* dash;
    bool whole;
    void (*take)(Options& o, const char* arg);
};

// In the order in which they are tried; the first that matches decides.
const Rule kRules[] = {
    {"/l", "-l", false,
     [](Options& o, const char*) {
         o.list = true;
         o.file_given = true;  // no file name is needed
     }},
    {"/?", "-?", false, [](Options& o, const char*) { o.help = true; }},
    {nullptr, "dev=", false, [](Options& o, const char* arg) { o.devtext = arg + 4; }},
    {"/id:", "-id:", false,
     [](Options& o, const char* arg) {
         const std::optional<int> n = OptionNumber(arg, kNoTarget);
         if (n) o.id = *n;
         o.bad_address = o.bad_address || !n;
     }},
    {"/ha:", "-ha:", false,
     [](Options& o, const char* arg) {
         const std::optional<int> n = OptionNumber(arg, 0);
         if (n) o.ha = *n;
         o.bad_address = o.bad_address || !n;
     }},
    {"/all", "-all", false, [](Options& o, const char*) { o.all = true; }},
    {nullptr, "-debug", true, [](Options& o, const char*) { o.debug = true; }},
};

bool Matches(const char* arg, const char* form, bool whole) {
    if (form == nullptr) return false;
    return whole ? std::strcmp(arg, form) == 0 : std::strncmp(arg, form, std::strlen(form)) == 0;
}

// Later arguments override earlier ones.
void ParseArgs(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; i++) {
        const char* arg = argv[i];
        const Rule* rule = nullptr;
        for (const Rule& r : kRules) {
            if (Matches(arg, r.slash, r.whole) || Matches(arg, r.dash, r.whole)) {
                rule = &r;
                break;
            }
        }
        if (rule != nullptr) {
            rule->take(o, arg);
        } else if (arg[0] != '-') {  // other options are ignored without a word
            o.file = arg;
            o.file_given = true;
        }
    }
    // Only the dev= text that counts: a later one overrides an earlier one.
    if (o.devtext != nullptr && !DevTextNamesTarget(o.devtext)) o.bad_address = true;
}

enum Outcome { NO_MATCH = 0, MATCHED = 1, NEEDS_JUMPER = 2 };

// Upgrades one drive; a failure is said, with a warning when the flash may
// be partly written, and makes the run's status 1.
UpgradeResult UpgradeOne(Session& s, Drive at, Image image) {
    const UpgradeResult r = upgrade(s, at, image);
    if (r != UpgradeResult::failed && r != UpgradeResult::failed_at_risk) return r;
    sup::printf("Error upgrading drive\n");
    if (r == UpgradeResult::failed_at_risk)
        sup::printf(
            "Warning: the drive's flash is only partly written. "
            "Run the upgrade again before you switch the drive off.\n");
    s.status = 1;
    return r;
}

// Asks whether to upgrade the drive; 'y', 'n' or 'a' (also once every drive
// is wanted). None when the answers ended.
std::optional<int> AskForDrive(Session& s, Drive at) {
    DiscardTypeAhead(s.input);
    sup::printf("Upgrade Dravlin drive at HA:%d ID:%d? (y/n/a) ", at.ha, at.id);
    sup::flush();
    std::optional<int> answer = 'a';
    if (!s.options.all) {
        do {
            answer = GetAnswer(s.input);
        } while (answer && *answer != 'y' && *answer != 'n' && *answer != 'a');
        if (!answer) return std::nullopt;
        if (*answer == 'a') s.options.all = true;
    }
    sup::printf(" %c\n", *answer);
    return answer;
}

// Walks the drive table and upgrades the drives of the image's type, asking
// for each one unless every drive is wanted. The last drive that matched or
// needed the jumper decides the outcome. None when the run is to end.
std::optional<Outcome> WalkDrives(Session& s, Image image, bool ask) {
    Outcome outcome = NO_MATCH;
    char text[kDescriptionLen];
    for (int i = 0; i < s.drives.ndrive && i < MAX_DRIVES; i++) {
        const Drive at = s.drives.at(i);
        int t = DravlinType(s, at, text);
        if (t == s.UpgradeDrive) {
            outcome = MATCHED;
            if (ask) {
                const std::optional<int> answer = AskForDrive(s, at);
                if (!answer) return std::nullopt;
                if (*answer == 'n') continue;
            }
            const UpgradeResult r = UpgradeOne(s, at, image);
            if (r == UpgradeResult::refused) return std::nullopt;
            if (r != UpgradeResult::done) break;
        } else if (t == NORMAL_MODE_TYPE && s.UpgradeDrive == LOADER_TYPE) {
            // The drive is in its normal mode; the image is for its loader.
            outcome = NEEDS_JUMPER;
        }
    }
    return outcome;
}

// Reads the image once, identifies and checks that copy; none, said, when
// the run is to end before a drive is touched.
std::optional<std::vector<unsigned char>> LoadImage(Session& s) {
    std::optional<std::vector<unsigned char>> image = ReadUpgradeFile(s.options.file);
    if (!image) return std::nullopt;
    s.UpgradeDrive = GetUpgradeInfo(s, *image);
    // Some checksums cover less than the transfer sends, so the length is
    // checked too: an image that would run out before the closing piece is
    // refused.
    fwimage::Verdict verdict = fwimage::Verdict::unknown;
    if (s.UpgradeDrive != NO_TYPE) {
        const bool right = isValidUpgradeFile(s, *image, s.UpgradeDrive);
        verdict = fwimage::verdict(s.UpgradeDrive, right, fwimage::complete(*image, s.UpgradeDrive));
    }
    if (verdict != fwimage::Verdict::valid) {
        sup::printf("%s\n", fwimage::verdict_text(verdict));
        return std::nullopt;
    }
    const std::string model(image_model_name(s.UpgradeDrive));
    sup::printf("Upgrade file for %s loaded\n", model.c_str());
    return image;
}

// The mode the options ask for, once the session is open and the image (if
// any) checked.
RunEnd RunMode(Session& s, Image image) {
    const Options& o = s.options;
    std::optional<Outcome> outcome;
    if (o.all) {
        outcome = WalkDrives(s, image, false);
    } else if (o.list) {
        ListDrives(s);
        return RunEnd(0);
    } else if (o.id >= 0) {  // a target, from -id: or dev=
        if (UpgradeOne(s, {o.ha, o.id}, image) == UpgradeResult::refused) return RunEnd(1);
        return RunEnd(s.status);
    } else {
        outcome = WalkDrives(s, image, true);
    }
    if (!outcome) return RunEnd(1);

    if (*outcome == NO_MATCH)
        sup::printf("\aNo upgradable drives found\n");
    else if (*outcome == NEEDS_JUMPER)
        PrintJumper();
    // A drive that another program holds may be one the run was meant for.
    if (s.drives.nbusy > 0) {
        sup::fprintf(stderr, "qvupdate: %d busy drive(s) could not be examined\n", s.drives.nbusy);
        s.status = 1;
    }
    return RunEnd(s.status);
}

}  // namespace

RunEnd RunProgram(Session& s, int argc, char** argv) {
    sup::save_args(argc, argv);
    // A closed or full standard output must not end the run part-way (a
    // drive may be in the middle of its transfer): writes fail quietly and
    // the run says so at its end.
    IgnoreBrokenPipe();
    sup::_io_add_my_flag(stdout, sup::_IO_NORAISE);

    ParseArgs(argc, argv, s.options);
    const Options& o = s.options;

    if (o.debug)
        for (int i = 0; i < numProds; i++) sup::printf("%d\t%s\n", i, ProductID[i]);

    for (const char* line : banner) sup::printf("%s\n", line);

    // -l skips the image check, so -all with it would upgrade with no
    // checked image.
    if (o.help || !o.file_given || o.bad_address || (o.all && o.list)) {
        for (const char* line : usage) sup::printf("%s\n", line);
        return RunEnd(1);
    }

    // The session only scans here; the image is read before any drive is
    // written.
    if (std::optional<RunEnd> failed = initscsi(s)) return *failed;

    std::vector<unsigned char> image;
    if (!o.list) {
        std::optional<std::vector<unsigned char>> loaded = LoadImage(s);
        if (!loaded) return RunEnd(1);
        image = std::move(*loaded);
    }
    return RunMode(s, image);
}

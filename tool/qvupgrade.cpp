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

// A rule of the command line, and its line in --help. An argument is taken
// by `take` when it begins with the dash form (is all of it, for a
// `whole` rule and every "--" option) or is the slash form. How a slash
// form counts depends on the system (SlashSwitchesArePrefixes): as a
// prefix, like the dash form, or only as the whole argument, followed by
// a number for a `number` rule, so that a path such as /lib/fw.bin stays a
// file name.
struct Rule {
    const char* slash;  // null: none
    const char* dash;
    bool whole;
    bool number;
    // The value in --help ("scsidev"); for a "--" option the argument
    // after it, which `take` gets instead of the option's own.
    const char* value;
    const char* help;
    void (*take)(Options& o, const char* arg);
};

void TakeAddress(bool& bad, int& into, const char* arg, int lowest) {
    const std::optional<int> n = OptionNumber(arg, lowest);
    if (n) into = *n;
    bad = bad || !n;
}

// In the order in which they are tried; the first that matches decides.
const Rule kRules[] = {
    {"/l", "-l", false, false, nullptr, "list the maker's drives; no file is needed",
     [](Options& o, const char*) {
         o.list = true;
         o.file_given = true;  // no file name is needed
     }},
    {"/?", "-?", false, false, nullptr, "show the usage and stop",
     [](Options& o, const char*) { o.help = true; }},
    {nullptr, "dev=", false, false, "scsidev",
     "upgrade the drive at bus,target,lun (or /dev/sgN, H:C:T:L with the Linux layer)",
     [](Options& o, const char* arg) { o.devtext = arg + 4; }},
    {"/id:", "-id:", false, true, "target_id", "upgrade the drive at this target (0 to 255)",
     [](Options& o, const char* arg) { TakeAddress(o.bad_address, o.id, arg, kNoTarget); }},
    {"/ha:", "-ha:", false, true, "ha_id", "the host adapter of -id: (0 to 255, default 0)",
     [](Options& o, const char* arg) {
         TakeAddress(o.bad_address, o.ha, arg, 0);
         o.ha_given = true;
     }},
    {"/all", "-all", false, false, nullptr, "upgrade every drive of the image's model without asking",
     [](Options& o, const char*) { o.all = true; }},
    {nullptr, "-debug", true, false, nullptr, "show the product table, the image's type and checksum",
     [](Options& o, const char*) { o.debug = true; }},
    {nullptr, "--dry-run", true, false, nullptr,
     "check the image and the drives, say what would be written, write nothing",
     [](Options& o, const char*) { o.dry_run = true; }},
    {nullptr, "--backup", true, false, "FILE",
     "save a loader-mode drive's flash in the new file FILE before the erase",
     [](Options& o, const char* file) { o.backup = file; }},
    {nullptr, "--log", true, false, "FILE", "the ASPI layer appends its command log to FILE",
     [](Options& o, const char* file) { o.log = file; }},
    {nullptr, "--record", true, false, "FILE",
     "the ASPI layer records every command and the drive's answers in the new file FILE",
     [](Options& o, const char* file) { o.record = file; }},
    {nullptr, "--help", true, false, nullptr, "show this text and stop",
     [](Options& o, const char*) { o.options_help = true; }},
    {nullptr, "--version", true, false, nullptr, "show the program's version and stop",
     [](Options& o, const char*) { o.version = true; }},
};

bool IsNumber(const char* text) {
    if (*text == '-' || *text == '+') text++;
    if (*text == '\0') return false;
    for (; *text != '\0'; text++)
        if (*text < '0' || *text > '9') return false;
    return true;
}

bool LongOption(const char* arg) { return std::strncmp(arg, "--", 2) == 0; }

bool Matches(const char* arg, const Rule& r) {
    const std::size_t dash = std::strlen(r.dash);
    if (r.whole ? std::strcmp(arg, r.dash) == 0 : std::strncmp(arg, r.dash, dash) == 0) return true;
    // --log=FILE
    if (r.value != nullptr && LongOption(r.dash) && std::strncmp(arg, r.dash, dash) == 0 && arg[dash] == '=')
        return true;
    if (r.slash == nullptr) return false;
    const std::size_t slash = std::strlen(r.slash);
    if (std::strncmp(arg, r.slash, slash) != 0) return false;
    return SlashSwitchesArePrefixes() || arg[slash] == '\0' || (r.number && IsNumber(arg + slash));
}

// The value of a long option, as --log=FILE or --log FILE (then i moves past
// it); none when it is missing or begins with '-': that is the next option,
// which must never become a file name (--log --dry-run would flash).
const char* LongValue(int argc, char** argv, int& i, const Rule& r) {
    const char* arg = argv[i];
    const std::size_t dash = std::strlen(r.dash);
    const char* value = arg[dash] == '=' ? arg + dash + 1 : i + 1 < argc ? argv[i + 1] : nullptr;
    if (value == nullptr || *value == '\0' || *value == '-') return nullptr;
    if (arg[dash] != '=') i++;
    return value;
}

// Later arguments override earlier ones.
void ParseArgs(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; i++) {
        const char* arg = argv[i];
        const Rule* rule = nullptr;
        for (const Rule& r : kRules) {
            if (Matches(arg, r)) {
                rule = &r;
                break;
            }
        }
        const bool long_option = LongOption(arg);
        if (rule != nullptr && long_option && rule->value != nullptr) {
            if (const char* value = LongValue(argc, argv, i, *rule))
                rule->take(o, value);
            else if (o.refused.empty())
                o.refused = std::string(rule->dash) + " needs a file name";
        } else if (rule != nullptr) {
            rule->take(o, arg);
        } else if (long_option) {
            // None existed before, so nothing relies on one being ignored.
            if (o.refused.empty()) o.refused = std::string("unknown option ") + arg;
        } else if (arg[0] == '-') {
            sup::fprintf(stderr, "qvupdate: ignoring unknown option %s\n", arg);
        } else {
            o.file = arg;
            o.file_given = true;
        }
    }
    // Only the dev= text that counts: a later one overrides an earlier one.
    if (o.devtext != nullptr && !DevTextNamesTarget(o.devtext)) o.bad_address = true;
}

// --help: the usage and one line per option, from the table the parser uses.
void PrintOptions() {
    for (const char* line : usage) sup::printf("%s\n", line);
    for (const Rule& r : kRules) {
        std::string name = r.dash;
        if (r.value != nullptr) name += std::string(LongOption(r.dash) ? " " : "") + r.value;
        sup::printf("  %-18s %s\n", name.c_str(), r.help);
    }
}

enum Outcome { NO_MATCH = 0, MATCHED = 1, NEEDS_JUMPER = 2 };

// Upgrades one drive; a failure is said, with a warning when the flash may
// be partly written, and makes the run's status 1.
UpgradeResult UpgradeOne(Session& s, Drive at, Image image) {
    const UpgradeResult r = upgrade(s, at, image);
    // A dry run goes on to the next drive: it is to show them all.
    if (r == UpgradeResult::refused && s.options.dry_run) s.status = 1;
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
    SayDriveName(s, at);
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
            if (r == UpgradeResult::refused && !s.options.dry_run) return std::nullopt;
            if (r == UpgradeResult::failed || r == UpgradeResult::failed_at_risk) break;
        } else if (t == NORMAL_MODE_TYPE && s.UpgradeDrive == LOADER_TYPE) {
            // The drive is in its normal mode; the image is for its loader.
            outcome = NEEDS_JUMPER;
        }
    }
    return outcome;
}

// Identifies and checks the one copy of the image; none, said, when the run
// is to end before a drive is touched.
std::optional<std::vector<unsigned char>> LoadImage(Session& s, fwimage::ImageFile file) {
    std::optional<std::vector<unsigned char>> image = TakeUpgradeFile(std::move(file), s.options.file);
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

// --backup for an image of a drive whose flash cannot be read: refused
// before the ASPI layer is loaded, so that nothing is sent.
std::optional<RunEnd> RefuseBackup(const Options& o, const fwimage::ImageFile& file) {
    if (o.backup == nullptr || file.status != fwimage::FileStatus::ok) return std::nullopt;
    const int type = fwimage::identify(file.bytes);
    const TransferPlan* plan = transfer_plan(type);
    if (plan == nullptr || plan->procedure == ROM_PROGRAMMING) return std::nullopt;
    return RunEnd(
        1, "the " + std::string(image_model_name(type)) + " cannot be read back; no backup is possible\n");
}

// The mode the options ask for, once the session is open and the image (if
// any) checked.
RunEnd RunMode(Session& s, Image image) {
    const Options& o = s.options;
    std::optional<Outcome> outcome;
    if (o.all) {
        outcome = WalkDrives(s, image, false);
        if (outcome && o.devtext == nullptr) SayBeyondScan(s);
    } else if (o.list) {
        ListDrives(s);
        return RunEnd(0);
    } else if (o.id >= 0) {  // a target, from -id: or dev=
        if (UpgradeOne(s, {o.ha, o.id}, image) == UpgradeResult::refused) return RunEnd(1);
        return RunEnd(s.status);
    } else {
        outcome = WalkDrives(s, image, !o.dry_run);
    }
    if (!outcome) return RunEnd(1);

    if (*outcome == NO_MATCH)
        sup::printf("\aNo upgradable drives found\n");
    else if (*outcome == NEEDS_JUMPER)
        PrintJumper();
    // A dry run that finds nothing to write is no success either.
    if (*outcome != MATCHED && o.dry_run) s.status = 1;
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
    IgnoreWriteSignals();
    sup::_io_add_my_flag(stdout, sup::_IO_NORAISE);

    ParseArgs(argc, argv, s.options);
    const Options& o = s.options;
    if (o.refused.empty() && o.version) {
        sup::printf("qvupdate %s\n", QV_VERSION);
        return RunEnd(0);
    }
    if (o.refused.empty() && o.options_help) {
        PrintOptions();
        return RunEnd(0);
    }

    if (o.debug)
        for (int i = 0; i < numProds; i++) sup::printf("%d\t%s\n", i, ProductID[i]);

    for (const char* line : banner) sup::printf("%s\n", line);

    // -l skips the image check, so -all with it would upgrade with no
    // checked image, and --backup would back up nothing.
    if (o.help || !o.file_given || o.bad_address || (o.all && o.list) || (o.backup && o.list) ||
        !o.refused.empty()) {
        for (const char* line : usage) sup::printf("%s\n", line);
        if (o.refused.empty()) return RunEnd(1);
        return RunEnd(1, o.refused + "\n");
    }
    if (o.ha_given && o.id == kNoTarget && o.devtext == nullptr) {
        sup::flush();
        sup::fprintf(stderr, "qvupdate: -ha: without -id: names no drive; every adapter is walked\n");
    }

    // Read before the ASPI layer is loaded and the scan touches a drive, so
    // that nothing the layer writes (its command log) can reach the copy
    // that is sent; what the check says comes after the scan, as it always
    // did.
    fwimage::ImageFile file;
    if (!o.list) {
        file = fwimage::read_image_file(o.file);
        if (std::optional<RunEnd> refused = RefuseBackup(o, file)) return *refused;
    }

    if (std::optional<RunEnd> failed = initscsi(s)) return *failed;

    std::vector<unsigned char> image;
    if (!o.list) {
        std::optional<std::vector<unsigned char>> loaded = LoadImage(s, std::move(file));
        if (!loaded) return RunEnd(1);
        image = std::move(*loaded);
    }
    return RunMode(s, image);
}

// The command line of qvupdate: its rules, the banner, the usage and --help.
#include "tool/cmdline.h"

#include <cstring>
#include <optional>
#include <string>

#include "support/printf.h"
#include "tool/address.h"
#include "tool/console.h"

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

// The first refusal of a command line is the one said.
void Refuse(Options& o, const std::string& why) {
    if (o.refused.empty()) o.refused = why;
}

void TakeAddress(Options& o, int& into, const char* arg, int lowest, const char* what) {
    const std::optional<int> n = OptionNumber(arg, lowest);
    if (n) into = *n;
    if (!n)
        Refuse(o, std::string(arg) + ": " + what + " is a whole decimal number from " +
                      std::to_string(lowest) + " to " + std::to_string(kHighestAddress));
}

// In the order in which they are tried; the first that matches decides.
const Rule kRules[] = {
    {"/l", "-l", false, false, nullptr,
     "list the maker's drives on every adapter, targets 0 to 15; no file is needed",
     [](Options& o, const char*) {
         o.list = true;
         o.file_given = true;  // no file name is needed
     }},
    {"/?", "-?", false, false, nullptr, "show the usage and stop",
     [](Options& o, const char*) { o.help = true; }},
    {nullptr, "dev=", false, false, "scsidev",
     "upgrade only the drive at bus,target,lun (or /dev/sgN, H:C:T:L with the Linux layer)",
     [](Options& o, const char* arg) { o.devtext = arg + 4; }},
    {"/id:", "-id:", false, true, "target_id", "upgrade the drive at this target (0 to 255, -1 for none)",
     [](Options& o, const char* arg) { TakeAddress(o, o.id, arg, kNoTarget, "a target"); }},
    {"/ha:", "-ha:", false, true, "ha_id", "the host adapter of -id: (0 to 255, default 0)",
     [](Options& o, const char* arg) {
         TakeAddress(o, o.ha, arg, 0, "a host adapter");
         o.ha_given = true;
     }},
    {"/all", "-all", false, false, nullptr,
     "upgrade every drive of the image's model, asking once (Continue?), not for each",
     [](Options& o, const char*) { o.all = true; }},
    {nullptr, "-debug", true, false, nullptr, "show the product table, the image's type and checksum",
     [](Options& o, const char*) { o.debug = true; }},
    {nullptr, "--dry-run", true, false, nullptr,
     "check the image and the drives, say on standard error what would be written, write nothing",
     [](Options& o, const char*) { o.dry_run = true; }},
    {nullptr, "--backup", true, false, "FILE",
     "save a loader-mode drive's flash in the new file FILE before the erase",
     [](Options& o, const char* file) { o.backup = file; }},
    {nullptr, "--log", true, false, "FILE", "the ASPI layer appends its command log to FILE",
     [](Options& o, const char* file) { o.log = file; }},
    {nullptr, "--record", true, false, "FILE",
     "the ASPI layer records every command and the drive's answers in the new file FILE",
     [](Options& o, const char* file) { o.record = file; }},
    {nullptr, "--json", true, false, nullptr,
     "one JSON document on standard output (the listing, or each drive's outcome); texts on standard error",
     [](Options& o, const char*) { o.json = true; }},
    {nullptr, "--help", true, false, nullptr, "show this text and stop",
     [](Options& o, const char*) { o.options_help = true; }},
    {nullptr, "--version", true, false, nullptr, "show the program's version and stop",
     [](Options& o, const char*) { o.version = true; }},
};

// "-dry-run", "-log=x": a long option written with one dash, which would
// otherwise be ignored (or, as -log, taken for -l) and the run go on.
const Rule* LongWithOneDash(const char* arg) {
    if (arg[0] != '-' || arg[1] == '-' || arg[1] == '\0') return nullptr;
    const std::string name(arg, std::strcspn(arg, "="));
    for (const Rule& r : kRules)
        if (std::strncmp(r.dash, "--", 2) == 0 && name == r.dash + 1) return &r;
    return nullptr;
}

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

}  // namespace

// Later arguments override earlier ones.
Options ParseArgs(int argc, char** argv) {
    Options o;
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
        if (const Rule* one = LongWithOneDash(arg)) {
            Refuse(o, std::string("unknown option ") + arg + ": " + one->dash + " begins with two dashes");
        } else if (rule != nullptr && long_option && rule->value != nullptr) {
            if (const char* value = LongValue(argc, argv, i, *rule))
                rule->take(o, value);
            else
                Refuse(o, std::string(rule->dash) + " needs a file name");
        } else if (rule != nullptr) {
            rule->take(o, arg);
        } else if (long_option) {
            // None existed before, so nothing relies on one being ignored.
            Refuse(o, std::string("unknown option ") + arg);
        } else if (arg[0] == '-') {
            sup::fprintf(stderr, "qvupdate: ignoring unknown option %s\n", arg);
        } else {
            o.file = arg;
            o.file_given = true;
        }
    }
    // Only the dev= text that counts: a later one overrides an earlier one.
    if (o.devtext != nullptr && !DevTextNamesTarget(o.devtext))
        Refuse(o, std::string("dev=") + o.devtext +
                      ": an address is bus,target,lun or target,lun, each a whole decimal number");
    // -l skips the image check, so -all with it would upgrade with no
    // checked image, and --backup would back up nothing.
    if (o.list && o.all) Refuse(o, "-all with -l: -l upgrades nothing");
    if (o.list && o.backup) Refuse(o, "--backup with -l: -l upgrades nothing");
    return o;
}

void PrintBanner() {
    for (const char* line : banner) sup::printf("%s\n", line);
}

void PrintUsage() {
    for (const char* line : usage) sup::printf("%s\n", line);
}

// --help: the usage and one line per option, from the table the parser uses.
void PrintOptions() {
    PrintUsage();
    for (const Rule& r : kRules) {
        std::string name = r.dash;
        if (r.value != nullptr) name += std::string(LongOption(r.dash) ? " " : "") + r.value;
        sup::printf("  %-18s %s\n", name.c_str(), r.help);
    }
}

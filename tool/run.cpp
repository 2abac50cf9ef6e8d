// A run of qvupdate: the banner, the session, the image check and the four
// modes.
#include "tool/run.h"

#include <optional>
#include <string>
#include <vector>

#include "fwimage/check.h"
#include "fwimage/fwtables.h"
#include "support/printf.h"
#include "support/utils.h"
#include "tool/clock.h"
#include "tool/cmdline.h"
#include "tool/console.h"
#include "tool/dialogue.h"
#include "tool/drivetype.h"
#include "tool/imagecheck.h"
#include "tool/link.h"
#include "tool/listing.h"
#include "tool/report.h"
#include "tool/session.h"
#include "tool/signals.h"
#include "tool/upgrade.h"

namespace {

enum Outcome { NO_MATCH = 0, MATCHED = 1, NEEDS_JUMPER = 2 };

void SayBusy(int busy) {
    sup::flush();
    sup::fprintf(stderr, "qvupdate: %d busy drive(s) could not be examined\n", busy);
}

// The version an image holds, as a drive that took it shows it.
std::string ImageVersion(Image image, int type) {
    char version[VERSION_LEN + 1];
    VersionText(fwimage::version_field(image, type), version);
    return version;
}

bool Failed(UpgradeResult r) { return r == UpgradeResult::failed || r == UpgradeResult::failed_at_risk; }
// Not upgraded as meant: the run ends with status 1.
bool Missed(UpgradeResult r) {
    return Failed(r) || r == UpgradeResult::refused || r == UpgradeResult::unconfirmed;
}

// The outcome of a drive in the document.
const char* OutcomeName(UpgradeResult r) {
    switch (r) {
    case UpgradeResult::done: return "upgraded";
    case UpgradeResult::checked: return "would-upgrade";
    case UpgradeResult::refused: return "refused";
    case UpgradeResult::failed: return "failed";
    case UpgradeResult::failed_at_risk: return "failed-at-risk";
    case UpgradeResult::unconfirmed: return "not-confirmed";
    }
    return "";
}

// Upgrades one drive; a failure is said, with a warning when the flash may
// be partly written.
UpgradeResult UpgradeOne(Run& r, Drive at, Image image) {
    const Clock::Duration started = r.clock.now();
    const UpgradeResult result = upgrade(r, at, image);
    DriveReport& report = r.report.drives.back();
    report.outcome = OutcomeName(result);
    report.seconds = std::chrono::duration<double>(r.clock.now() - started).count();
    r.report.Keep();
    if (Failed(result)) {
        sup::printf("Error upgrading drive\n");
        if (result == UpgradeResult::failed_at_risk)
            sup::printf(
                "Warning: the drive's flash is only partly written. "
                "Run the upgrade again before you switch the drive off.\n");
    }
    // A signal held in the transfer takes its effect once the outcome is
    // said.
    sup::flush();
    ReleaseSignals();
    return result;
}

// What a walk of the drive table came to: the last drive that matched or
// needed the jumper decides the outcome; a drive meant that was not upgraded
// (or, in a dry run, would not be) fails the run.
struct Walked {
    Outcome outcome = NO_MATCH;
    bool failed = false;
};

// Walks the drive table and upgrades the drives of the image's type, asking
// for each one unless every drive is wanted. None when the run is to end.
std::optional<Walked> WalkDrives(Run& r, Image image, bool ask) {
    Walked w;
    char text[kDescriptionLen];
    for (int i = 0; i < r.drives.ndrive && i < MAX_DRIVES; i++) {
        const Drive at = r.drives.at(i);
        const Identified found = IdentifyDrive(r.link, at, text);
        const int t = found.type;
        if (t == r.UpgradeDrive) {
            w.outcome = MATCHED;
            if (ask) {
                const std::optional<int> answer =
                    r.dialogue.AskForDrive(r.link, at, WhatAYesDoes(r, at, found, image));
                if (!answer) return std::nullopt;
                if (*answer == 'n') {
                    DriveReport& report = r.report.drives.emplace_back();
                    report.at = at;
                    report.outcome = "refused";
                    report.reason = "answered n";
                    continue;
                }
            }
            const UpgradeResult result = UpgradeOne(r, at, image);
            // A dry run goes on to the next drive: it is to show them all.
            if (result == UpgradeResult::refused && !r.options.dry_run) return std::nullopt;
            w.failed = w.failed || Missed(result);
            // A drive that may still be saving its image is no reason to
            // stop: the others are upgraded as they would be.
            if (Failed(result)) break;
        } else if (t == NORMAL_MODE_TYPE && r.UpgradeDrive == LOADER_TYPE) {
            // The drive is in its normal mode; the image is for its loader.
            w.outcome = NEEDS_JUMPER;
        }
    }
    return w;
}

// Identifies and checks the one copy of the image; none, said, when the run
// is to end before a drive is touched.
std::optional<std::vector<unsigned char>> LoadImage(Run& r, fwimage::ImageFile file) {
    const long long size = file.size;
    std::optional<std::vector<unsigned char>> image = TakeUpgradeFile(std::move(file), r.options.file);
    if (!image) return std::nullopt;
    r.UpgradeDrive = GetUpgradeInfo(r.options.debug, *image);
    r.report.image = ImageReport{r.options.file, r.UpgradeDrive, "", "", ""};
    // Some checksums cover less than the transfer sends, so the length is
    // checked too: an image that would run out before the closing piece is
    // refused.
    fwimage::Verdict verdict = fwimage::Verdict::unknown;
    if (r.UpgradeDrive != NO_TYPE) {
        const bool right = isValidUpgradeFile(r.options.debug, *image, r.UpgradeDrive);
        verdict = fwimage::verdict(r.UpgradeDrive, right, fwimage::complete(*image, r.UpgradeDrive));
    }
    r.report.image->verdict = fwimage::verdict_text(verdict);
    if (verdict != fwimage::Verdict::valid) {
        sup::printf("%s\n", fwimage::verdict_text(verdict));
        SayWhyRefused(r.options.file, size, *image, r.UpgradeDrive);
        return std::nullopt;
    }
    const std::string model(image_model_name(r.UpgradeDrive));
    sup::printf("Upgrade file for %s loaded\n", model.c_str());
    r.report.image->model = model;
    r.report.image->version = ImageVersion(*image, r.UpgradeDrive);
    r.report.Keep();
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
RunEnd RunMode(Run& r, std::optional<Drive> target, Image image) {
    const Options& o = r.options;
    std::optional<Walked> walked;
    if (o.all) {
        walked = WalkDrives(r, image, false);
        if (walked && o.devtext == nullptr) SayBeyondScan(r.link);
    } else if (o.list) {
        // A drive another program holds may be one the user looks for.
        const int busy = ListDrives(r.link, r.dialogue, r.report, r.UpgradeDrive);
        if (busy > 0) SayBusy(busy);
        return RunEnd(busy > 0 ? 1 : 0);
    } else if (target) {
        const UpgradeResult result = UpgradeOne(r, *target, image);
        return RunEnd(Missed(result) ? 1 : 0);
    } else {
        walked = WalkDrives(r, image, !o.dry_run);
    }
    if (!walked) return RunEnd(1);

    if (walked->outcome == NO_MATCH)
        sup::printf("\aNo upgradable drives found\n");
    else if (walked->outcome == NEEDS_JUMPER)
        PrintJumper();
    // A dry run that finds nothing to write is no success either.
    bool failed = walked->failed || (walked->outcome != MATCHED && o.dry_run);
    // A drive that another program holds may be one the run was meant for.
    if (r.drives.nbusy > 0) {
        SayBusy(r.drives.nbusy);
        failed = true;
    }
    return RunEnd(failed ? 1 : 0);
}

// The run once the command line is parsed, reported as it goes.
RunEnd RunWith(const Options& o, Link& link, Clock& clock, FILE* input, Report& report) {
    if (o.debug)
        for (int i = 0; i < numProds; i++) sup::printf("%d\t%s\n", i, ProductID[i]);

    PrintBanner();

    const std::string refused = !o.refused.empty() ? o.refused
                                : o.file_given     ? ""
                                                   : "no image file given (-l lists the drives without one)";
    if (o.help || !refused.empty()) {
        PrintUsage();
        // -? asks for the usage; anything else says what is wrong.
        if (o.help) return RunEnd(1);
        return RunEnd(1, refused + "\nqvupdate --help lists every option\n");
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

    SessionSetUp set_up = initscsi(o, link);
    if (set_up.end) return *set_up.end;
    for (int bus = 0; bus < set_up.drives.nhost; bus++)
        if (link.have_bus(bus)) report.adapters.push_back(bus);

    Dialogue dialogue(input);
    Run r{o, link, clock, dialogue, set_up.drives, report};
    std::vector<unsigned char> image;
    if (o.list && o.json && *o.file != '\0') {
        // The listing says which drives an image given is for.
        const fwimage::ImageFile f = fwimage::read_image_file(o.file);
        const bool read = f.status == fwimage::FileStatus::ok;
        const fwimage::Verdict v = read ? fwimage::examine(f.bytes).verdict
                                   : f.status == fwimage::FileStatus::cannot_open
                                       ? fwimage::Verdict::unreadable
                                       : fwimage::Verdict::unknown;
        r.UpgradeDrive = read ? fwimage::identify(f.bytes) : NO_TYPE;
        report.image = ImageReport{o.file, r.UpgradeDrive, std::string(image_model_name(r.UpgradeDrive)),
                                   ImageVersion(f.bytes, r.UpgradeDrive), fwimage::verdict_text(v)};
    }
    if (!o.list) {
        std::optional<std::vector<unsigned char>> loaded = LoadImage(r, std::move(file));
        if (!loaded) return RunEnd(1);
        image = std::move(*loaded);
    }
    return RunMode(r, set_up.target, image);
}

}  // namespace

RunEnd RunProgram(int argc, char** argv, Link& link, Clock& clock, FILE* input) {
    sup::save_args(argc, argv);
    // A closed or full standard output must not end the run part-way (a
    // drive may be in the middle of its transfer): writes fail quietly and
    // the run says so at its end.
    IgnoreWriteSignals();

    const Options o = ParseArgs(argc, argv);
    if (o.refused.empty() && o.version) {
        sup::printf("qvupdate %s\n", QV_VERSION);
        return RunEnd(0);
    }
    if (o.refused.empty() && o.options_help) {
        PrintOptions();
        return RunEnd(0);
    }
    Report report;
    report.mode = o.list ? "list" : o.dry_run ? "dry-run" : "upgrade";
    if (!o.json) return RunWith(o, link, clock, input, report);

    // Standard output holds the document alone: every text goes to
    // standard error, and a signal that ends the run leaves the document
    // as far as it got.
    const int document = DivertStandardOutput();
    report.last_words_fd = document >= 0 ? document : 1;
    LeaveLastWords(report.last_words_fd);
    report.Keep();
    const RunEnd end = RunWith(o, link, clock, input, report);
    report.error = end.message.substr(0, end.message.find('\n'));
    RestoreStandardOutput(document);
    sup::printf("%s", report.Render(end.status).c_str());
    return end;
}

// The upgrade of one drive: warning and confirmation, drive and medium
// checks, the transfer, and the firmware version before and after.
#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "fwimage/check.h"
#include "support/printf.h"
#include "support/utils.h"
#include "fwimage/fwtables.h"
#include "tool/backup.h"
#include "tool/clock.h"
#include "tool/cmdline.h"
#include "tool/console.h"
#include "tool/dialogue.h"
#include "tool/drivetype.h"
#include "tool/link.h"
#include "tool/listing.h"
#include "tool/report.h"
#include "tool/run.h"
#include "tool/signals.h"
#include "tool/upgrade.h"

namespace {

constexpr int kNoMedium = 0x3A;  // additional sense code "medium not present"
constexpr int kTests = 3;        // TEST UNIT READY before the sense code is judged
// A WRITE BUFFER drive saves the downloaded code and restarts.
constexpr Clock::Duration kSave = std::chrono::seconds(2);
// How long a drive may take to answer again after an upgrade: it restarts
// with the new firmware.
constexpr int kRestartSeconds = 30;
constexpr Clock::Duration kAskAgain = std::chrono::seconds(1);

// What tells one drive from another at an address: what it answers to
// INQUIRY and, where the layer has them, the kernel's names of the address.
struct Fingerprint {
    int type;
    std::string vendor, product, names;
    bool operator==(const Fingerprint&) const = default;
};

Fingerprint TakeFingerprint(const Link& link, Drive at, const Identified& found) {
    Fingerprint f{found.type, found.inquiry.vendor, found.inquiry.product, {}};
    char names[128];
    const LayerEntries& layer = link.layer();
    if (layer.device_name != nullptr && layer.device_name(at.ha, at.id, 0, names, sizeof names) >= 0)
        f.names = names;
    return f;
}

// A question may wait for minutes: a drive swapped at the address meanwhile
// is another drive, and is not written. Said when it changed (or another
// program has it now).
bool StillTheDrive(Link& link, Drive at, const Fingerprint& before) {
    const Identified now = IdentifyDrive(link, at, nullptr);
    if (TakeFingerprint(link, at, now) == before) return true;
    sup::flush();
    if (now.reply == Reply::in_use)
        sup::fprintf(stderr, "qvupdate: drive HA:%d ID:%d is in use by another process\n", at.ha, at.id);
    else
        sup::fprintf(stderr,
                     "qvupdate: drive HA:%d ID:%d changed while the question waited; nothing written\n",
                     at.ha, at.id);
    return false;
}

// What a drive shows of its firmware: the flash identity area of the
// loader mode (read with the maker's read command), or the INQUIRY vendor,
// product and revision.
using Shown = std::vector<unsigned char>;
// Where the version stands in what a drive shows.
std::size_t VersionAt(TransferProcedure procedure) {
    return procedure == ROM_PROGRAMMING ? std::size_t{FLASH_ID_VERSION_AT}
                                        : std::size_t{INQ_VENDOR_LEN + INQ_PRODUCT_LEN};
}

std::optional<Shown> ReadFirmware(Link& link, Drive at, TransferProcedure procedure) {
    unsigned char* buffer = link.buffer().data();
    if (procedure == ROM_PROGRAMMING) {
        if (link.read_rom_at(at, FLASH_ID_AREA, FLASH_ID_AREA_LEN, buffer) != Reply::ok) return std::nullopt;
        return Shown(buffer, buffer + FLASH_ID_AREA_LEN);
    }
    // Sent quietly: a drive may answer less than it is asked for, which the
    // transport's report would say after every version read. A failure is
    // said as ever.
    const bool said = !link.silenced();
    unsigned char inq[DEV_INQUIRY_LEN];
    Reply reply;
    {
        Link::Quiet quiet(link);
        reply = link.inquiry_at(at, inq, DEV_INQUIRY_LEN);
    }
    if (reply != Reply::ok && reply != Reply::no_bus && said) link.report_failure();
    if (reply != Reply::ok) return std::nullopt;
    // Vendor, product and revision follow each other in the answer.
    return Shown(inq + INQ_VENDOR_AT, inq + INQ_REVISION_AT + INQ_REVISION_LEN);
}

// After a complete transfer a drive saves the image and restarts: until it
// shows the image it is asked once a second, quietly, for kRestartSeconds,
// while it gives no answer (or says it is becoming ready, or has a unit
// attention: any failure) or still shows what it showed before. What it
// shows then (none: it never answered); something else is judged at once.
std::optional<Shown> ReadBack(Run& r, Drive at, TransferProcedure procedure,
                              const std::vector<Shown>& expected, const std::optional<Shown>& before) {
    const Clock::Duration give_up = r.clock.now() + std::chrono::seconds(kRestartSeconds);
    Link::Quiet quiet(r.link);
    for (;;) {
        std::optional<Shown> shown = ReadFirmware(r.link, at, procedure);
        const bool waiting = !shown || shown == before;
        if (!waiting || std::find(expected.begin(), expected.end(), *shown) != expected.end()) return shown;
        if (r.clock.now() >= give_up) return shown;
        r.clock.sleep(kAskAgain);
    }
}

// The version a drive shows; empty when it did not answer.
void VersionText(const std::optional<Shown>& shown, TransferProcedure procedure,
                 char (&version)[VERSION_LEN + 1]) {
    ::VersionText(shown ? std::span<const unsigned char>(*shown).subspan(VersionAt(procedure))
                        : std::span<const unsigned char>(),
                  version);
}

// Bytes in double quotes for a message, each one that is not printable
// ASCII (and the quote and backslash) as \xHH.
std::string Quoted(std::span<const unsigned char> bytes) {
    std::string q = "\"";
    for (unsigned char c : bytes) {
        if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
            q += static_cast<char>(c);
        } else {
            char hex[5];
            sup::zt_snprintf(hex, sizeof hex, "\\x%02X", c);
            q += hex;
        }
    }
    return q + "\"";
}

// What a drive that took the image shows: for the loader mode the image's
// identity area; for a WRITE BUFFER drive the maker's vendor, its product
// (or that of the loader mode it may restart into) and the image's version.
std::vector<Shown> Expected(const Run& r, Image image, TransferProcedure procedure,
                            const Fingerprint& drive) {
    if (procedure == ROM_PROGRAMMING) {
        const Image id = fwimage::flash_identity(image);
        return {Shown(id.begin(), id.end())};
    }
    const Image version = fwimage::version_field(image, r.UpgradeDrive);
    std::vector<Shown> expected;
    for (const char* product : {drive.product.c_str(), ProductID[LOADER_TYPE]}) {
        Shown e(VENDOR_ID, VENDOR_ID + INQ_VENDOR_LEN);
        e.insert(e.end(), product, product + INQ_PRODUCT_LEN);
        e.insert(e.end(), version.begin(), version.end());
        expected.push_back(e);
    }
    return expected;
}

// A drive that took the image shows what the image holds: done. One that
// shows anything else (an old or garbled version, another drive) failed,
// said on standard error with what it showed and what the image holds; one
// that never answered may still be saving the image, which must not be
// interrupted by a second upgrade: unconfirmed, and said so.
UpgradeResult Confirmed(Drive at, const std::vector<Shown>& expected, TransferProcedure procedure,
                        const std::optional<Shown>& shown) {
    if (shown && std::find(expected.begin(), expected.end(), *shown) != expected.end())
        return UpgradeResult::done;
    sup::flush();
    if (!shown) {
        sup::fprintf(
            stderr,
            "qvupdate: drive HA:%d ID:%d: the drive did not answer for %d s after the upgrade; it may "
            "still be saving the firmware: wait, switch it off and on, then check it with -l\n",
            at.ha, at.id, kRestartSeconds);
        return UpgradeResult::unconfirmed;
    }
    const std::span<const unsigned char> wanted = expected.front();
    const std::size_t from = procedure == ROM_PROGRAMMING ? 0 : VersionAt(procedure);
    const char* advice = "run the upgrade again before you switch the drive off";
    if (from > 0 && !std::equal(shown->begin(), shown->begin() + from, wanted.begin())) {
        sup::fprintf(
            stderr,
            "qvupdate: drive HA:%d ID:%d: the drive identifies as %s after the upgrade, not as %s; %s\n",
            at.ha, at.id, Quoted(std::span(*shown).first(from)).c_str(), Quoted(wanted.first(from)).c_str(),
            advice);
        return UpgradeResult::failed;
    }
    sup::fprintf(
        stderr, "qvupdate: drive HA:%d ID:%d: the %s reads %s after the upgrade, the image holds %s; %s\n",
        at.ha, at.id, procedure == ROM_PROGRAMMING ? "flash identity area" : "firmware version",
        Quoted(std::span(*shown).subspan(from)).c_str(), Quoted(wanted.subspan(from)).c_str(), advice);
    return UpgradeResult::failed;
}

bool Erased(std::span<const unsigned char> bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](unsigned char c) { return c == 0xFF; });
}

// One block of a loader-mode flash into the buffer: ok only when it came
// back whole.
Reply ReadBlock(Link& link, Drive at, const TransferPlan& plan, int p) {
    const long offset = static_cast<long>(p) * plan.piece_size;
    const Reply r = link.read_rom_at(at, FLASH_READ_BASE + offset, plan.piece_size, link.buffer().data());
    return r == Reply::ok && link.resid() != 0 ? Reply::failed : r;
}

std::span<const unsigned char> Block(Link& link, const TransferPlan& plan) {
    return link.buffer().first(static_cast<std::size_t>(plan.piece_size));
}

// A loader-mode flash that an earlier upgrade left erased or cut short holds
// no whole firmware: said, and the upgrade goes on (it is the way back).
// True when the flash is at risk before anything is sent.
bool FlashIncomplete(Link& link, Drive at, const TransferPlan& plan, const std::optional<Shown>& shown) {
    // The identity area lies in the first block, so a cut after it shows the
    // new version; the last block tells.
    const bool last_erased =
        ReadBlock(link, at, plan, plan.pieces - 1) == Reply::ok && Erased(Block(link, plan));
    if (!shown) return false;
    if (Erased(*shown)) {
        sup::fprintf(stderr,
                     "qvupdate: the drive's flash reads as blank: an earlier upgrade did not complete\n");
        return true;
    }
    if (!last_erased) return false;
    sup::fprintf(stderr, "qvupdate: the drive's flash is incomplete: an earlier upgrade did not complete\n");
    return true;
}

// --backup: the whole flash of a loader-mode drive in a new file, before
// anything is erased. False, said, when it could not be read whole or the
// file not written: the drive is then not upgraded.
bool Backup(Run& r, Drive at, const TransferPlan& plan) {
    const std::string path = BackupName(r.options.backup, r.backups, at);
    std::vector<unsigned char> flash;
    for (int p = 0; p < plan.pieces; p++) {
        if (ReadBlock(r.link, at, plan, p) != Reply::ok) {
            sup::flush();
            sup::fprintf(stderr,
                         "qvupdate: drive HA:%d ID:%d: the flash could not be read whole at offset 0x%lX for "
                         "the backup; nothing erased\n",
                         at.ha, at.id, static_cast<long>(p) * plan.piece_size);
            return false;
        }
        const std::span<const unsigned char> block = Block(r.link, plan);
        flash.insert(flash.end(), block.begin(), block.end());
    }
    const std::string failed = SaveBackup(path, flash);
    sup::flush();
    if (!failed.empty()) {
        sup::fprintf(stderr, "qvupdate: cannot write the backup %s: %s; nothing erased\n", path.c_str(),
                     failed.c_str());
        return false;
    }
    r.backups++;
    r.report.drives.back().backup = path;
    sup::fprintf(stderr, "qvupdate: the flash of the drive at HA:%d ID:%d is saved in %s\n", at.ha, at.id,
                 path.c_str());
    return true;
}

// What a transfer came to. Once a command that changes the flash was sent,
// unless the drive refused it outright (NOT READY, ILLEGAL REQUEST), the
// flash may have changed, and it holds no whole firmware until the transfer
// completes.
struct Transfer {
    bool complete = false;
    bool at_risk = false;
    int sent = 0;  // pieces the drive took

    // Notes a changing command's reply; true when it went through.
    bool Changing(Reply r) {
        if (r != Reply::refused) at_risk = true;
        return r == Reply::ok;
    }
};

// At a terminal, the bytes sent so far out of the total, after the line
// that announces the transfer and rewritten in place as pieces go; cleared
// before the line goes on with "Done", or before a diagnostic. Where
// standard output is a terminal too, it is the same line, so the
// announcement is written again after each carriage return. It runs while
// the signals are held, so it allocates nothing and stops at the first
// write that fails (a terminal that went away).
class Progress {
public:
    Progress(const char* announced, long total) : on_(IsTerminal(stderr)), total_(total) {
        sup::zt_snprintf(lead_, sizeof lead_, "%s", IsTerminal(stdout) ? announced : "");
    }
    ~Progress() { End(); }
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    void Show(long sent) {
        if (!on_) return;
        char line[sizeof lead_ + 64];
        int n = sup::zt_snprintf(line, sizeof line, "%s %ld of %ld bytes", lead_, sent, total_);
        width_ = std::max(width_, n);
        if (sup::fprintf(stderr, "\r%s", line) < 0) on_ = false;
    }

    // Clears the line; nothing more is shown.
    void End() {
        if (on_ && width_ > 0) sup::fprintf(stderr, "\r%*s\r%s", width_, "", lead_);
        on_ = false;
    }

private:
    bool on_;
    char lead_[128];
    long total_;
    int width_ = 0;  // the longest line shown
};

// Sends the image from offset 0 in the plan's pieces, from the copy that was
// checked: the file is not read again, so nothing that happens to it after
// the check reaches the drive. The last piece goes in the command that
// commits the image to flash, so it is sent only after every earlier piece
// went through: a piece that fails stops the transfer there.
//
// The loader mode has no download to commit: its flash is erased first and
// holds no firmware until the last block is in. A flash that did not erase
// is not programmed, since programming only clears bits and would mix the
// old firmware into the new. A WRITE BUFFER drive changes its flash only
// with the closing piece; the others fill its download buffer.
//
// From the first command that changes the drive the signals are held; the
// caller releases them when the transfer has ended. at_risk: the flash is
// at risk before anything is sent.
Transfer Send(Run& r, Drive at, Image image, const TransferPlan& plan, bool at_risk, Progress& progress) {
    Transfer t;
    t.at_risk = at_risk;
    const bool rom = plan.procedure == ROM_PROGRAMMING;
    // The run took only an image that holds every piece; never send beyond it.
    if (!fwimage::complete(image, r.UpgradeDrive)) return t;
    unsigned char* buffer = r.link.buffer().data();
    Reply reply = Reply::ok;
    {
        // The report of a command that fails comes once the progress line
        // is cleared.
        Link::Quiet quiet(r.link);
        if (rom) {
            HoldSignals();
            reply = r.link.erase_rom_at(at);
            t.Changing(reply);
        }
        for (int p = 0; p < plan.pieces && reply == Reply::ok; p++) {
            const bool closing = p == plan.pieces - 1;
            const long offset = static_cast<long>(p) * plan.piece_size;
            sup::movebytes(image.data() + offset, buffer, plan.piece_size);
            HoldSignals();
            reply =
                rom ? r.link.write_rom_at(at, closing ? ROM_LAST : ROM_MORE, offset, plan.piece_size, buffer)
                    : r.link.write_buffer_at(at, closing ? WB_MODE_SAVE : WB_MODE_DOWNLOAD, 0, offset,
                                             plan.piece_size, buffer);
            if (rom || closing) t.Changing(reply);
            if (reply == Reply::ok) {
                t.sent++;
                progress.Show(offset + plan.piece_size);
            }
        }
    }
    if (reply != Reply::ok) {
        progress.End();
        r.link.report_failure();
        return t;
    }
    t.complete = true;
    return t;
}

// A loader-mode flash is read back whole after the last block and compared
// with the image: a drive may acknowledge a write it did not program. False,
// with the first difference said, when it does not hold the image.
bool Verify(Link& link, Drive at, Image image, const TransferPlan& plan) {
    for (int p = 0; p < plan.pieces; p++) {
        const long offset = static_cast<long>(p) * plan.piece_size;
        const bool read = ReadBlock(link, at, plan, p) == Reply::ok;
        const std::span<const unsigned char> block = Block(link, plan);
        const unsigned char* want = image.data() + offset;
        const auto diff =
            read ? std::mismatch(block.begin(), block.end(), want) : std::pair{block.begin(), want};
        if (read && diff.first == block.end()) continue;
        sup::flush();
        if (!read)
            sup::fprintf(stderr,
                         "qvupdate: drive HA:%d ID:%d: the flash could not be read back at offset 0x%lX\n",
                         at.ha, at.id, offset);
        else
            sup::fprintf(stderr,
                         "qvupdate: drive HA:%d ID:%d: the flash differs from the image at offset 0x%lX: it "
                         "reads 0x%02X, the image holds 0x%02X\n",
                         at.ha, at.id, offset + static_cast<long>(diff.first - block.begin()), *diff.first,
                         *diff.second);
        return false;
    }
    return true;
}

// Says why a drive is not upgraded at all.
void SayNotFound(const Run& r, Drive at, const Identified& found) {
    char model[PRODUCT_ID_LEN + 1];
    if (found.type == NO_TYPE && found.reply == Reply::in_use)
        sup::fprintf(stderr, "qvupdate: drive HA:%d ID:%d is in use by another process\n", at.ha, at.id);
    else if (found.type == NORMAL_MODE_TYPE && r.UpgradeDrive == LOADER_TYPE)
        PrintJumper();
    else
        sup::printf("No %s found at HA:%d ID:%d\n", ModelName(r.UpgradeDrive, model), at.ha, at.id);
}

}  // namespace

std::string WhatAYesDoes(const Run& r, Drive at, const Identified& found, Image image) {
    char model[PRODUCT_ID_LEN + 1];
    ModelName(r.UpgradeDrive, model);
    char where[64];
    sup::zt_snprintf(where, sizeof where, "HA:%d ID:%d", at.ha, at.id);
    if (found.type != r.UpgradeDrive) return std::string("qvupdate: ") + where + " holds no " + model;
    const TransferPlan* plan = transfer_plan(r.UpgradeDrive);
    const bool rom = plan != nullptr && plan->procedure == ROM_PROGRAMMING;
    char now[VERSION_LEN + 1], wanted[VERSION_LEN + 1], names[128];
    VersionText(std::span<const unsigned char>(reinterpret_cast<const unsigned char*>(found.inquiry.revision),
                                               INQ_REVISION_LEN),
                now);
    VersionText(rom ? fwimage::flash_identity(image).subspan(VersionAt(ROM_PROGRAMMING))
                    : fwimage::version_field(image, r.UpgradeDrive),
                wanted);
    const LayerEntries& layer = r.link.layer();
    const bool named =
        layer.device_name != nullptr && layer.device_name(at.ha, at.id, 0, names, sizeof names) >= 0;
    return std::string("qvupdate: y upgrades the ") + model + " at " + where +
           (named ? std::string(" = ") + names : std::string()) + " from version " + now + " to " + wanted;
}

UpgradeResult upgrade(Run& r, Drive at, Image image) {
    char text[kDescriptionLen];
    char model[PRODUCT_ID_LEN + 1];
    // Its reply is taken now: whether the drive is in use.
    const Identified found = IdentifyDrive(r.link, at, text);
    const Fingerprint drive = TakeFingerprint(r.link, at, found);
    DriveReport& report = r.report.drives.emplace_back();
    report.at = at;
    report.names = drive.names;
    // A question may wait long: a signal meanwhile leaves the drive named.
    r.report.Keep();
    const auto refused = [&report](const char* why) {
        report.reason = why;
        return UpgradeResult::refused;
    };

    r.dialogue.SayDriveName(r.link, at);
    // A dry run asks nothing: it writes nothing.
    using Confirmation = Dialogue::Confirmation;
    const Confirmation confirmed =
        r.options.dry_run ? Confirmation::earlier : r.dialogue.ConfirmOnce(WhatAYesDoes(r, at, found, image));
    if (confirmed == Confirmation::declined) return refused("declined at the confirmation");

    if (found.type != r.UpgradeDrive) {
        SayNotFound(r, at, found);
        return refused(found.reply == Reply::in_use ? "in use by another process"
                       : found.type == NORMAL_MODE_TYPE && r.UpgradeDrive == LOADER_TYPE
                           ? "in its normal mode: the jumper is needed"
                           : "no drive of the image's model at the address");
    }
    if (confirmed == Confirmation::asked && !StillTheDrive(r.link, at, drive))
        return refused("changed while the question waited");

    for (int i = 0; i < kTests; i++) {
        Link::Quiet quiet(r.link);
        r.link.test_unit_ready_at(at);
    }
    // Only a drive that says it has no disc is written: a ready drive may be
    // in use, and any other answer leaves its state unknown.
    if (r.link.sense_code() != kNoMedium) {
        sup::printf("Please remove medium from drive and try again.\n");
        return refused("a disc is in the drive");
    }

    const TransferPlan* plan = transfer_plan(r.UpgradeDrive);
    if (!plan) return UpgradeResult::failed;
    const bool rom = plan->procedure == ROM_PROGRAMMING;

    char version[VERSION_LEN + 1];
    std::optional<Shown> shown = ReadFirmware(r.link, at, plan->procedure);
    // A flash without a whole firmware: the upgrade is the way back, so it
    // goes on.
    const bool incomplete = rom && FlashIncomplete(r.link, at, *plan, shown);
    VersionText(shown, plan->procedure, version);
    if (shown) report.before = version;
    report.pieces = plan->pieces;
    ModelName(r.UpgradeDrive, model);
    // Reading changes nothing: a dry run is the way to take a backup alone.
    // (An image for a drive that cannot be read back ended the run before.)
    if (r.options.backup != nullptr && rom && !Backup(r, at, *plan))
        return refused("the backup could not be taken");
    if (r.options.dry_run) {
        char wanted[VERSION_LEN + 1];
        VersionText(rom ? fwimage::flash_identity(image).subspan(VersionAt(ROM_PROGRAMMING))
                        : fwimage::version_field(image, r.UpgradeDrive),
                    wanted);
        sup::flush();
        sup::fprintf(stderr, "qvupdate: would upgrade the %s at HA:%d ID:%d from version %s to %s\n", model,
                     at.ha, at.id, version, wanted);
        return UpgradeResult::checked;
    }
    // Right before the first command that changes it.
    if (!StillTheDrive(r.link, at, drive)) return refused("changed while the question waited");
    sup::printf("Current firmware version: %s\n", version);
    char announced[128];
    sup::zt_snprintf(announced, sizeof announced, "Upgrade %s (HA:%d ID:%d) in progress...", model, at.ha,
                     at.id);
    sup::printf("%s", announced);
    sup::flush();

    Transfer t;
    {
        Progress progress(announced, static_cast<long>(plan->pieces) * plan->piece_size);
        // A flash without a whole firmware holds none until a transfer
        // completes.
        t = Send(r, at, image, *plan, incomplete, progress);
    }
    report.pieces_sent = t.sent;
    // Still in the window: the verdict on the flash belongs to its transfer,
    // and a signal held meanwhile ends the run only once the outcome is said
    // (the caller closes the window).
    if (t.complete && rom) t.complete = Verify(r.link, at, image, *plan);
    sup::printf("Done\n");

    if (plan->procedure == WRITE_BUFFER) r.clock.sleep(kSave);
    const std::vector<Shown> expected = Expected(r, image, plan->procedure, drive);
    const std::optional<Shown> before = shown;
    shown = t.complete ? ReadBack(r, at, plan->procedure, expected, before)
                       : ReadFirmware(r.link, at, plan->procedure);
    VersionText(shown, plan->procedure, version);
    if (shown) report.after = version;
    if (rom)
        sup::printf("New firmware version: %s\n", version);
    else
        sup::printf("New firmware version    : %s\n", version);
    if (!t.complete) return t.at_risk ? UpgradeResult::failed_at_risk : UpgradeResult::failed;
    return Confirmed(at, expected, plan->procedure, shown);
}

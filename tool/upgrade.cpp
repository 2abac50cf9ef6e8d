// The upgrade of one drive: warning and confirmation, drive and medium
// checks, the transfer, and the firmware version before and after.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "fwimage/check.h"
#include "support/printf.h"
#include "support/utils.h"
#include "tool/console.h"
#include "tool/qvupgrade.h"
#include "tool/signals.h"

namespace {

constexpr int kNoMedium = 0x3A;  // additional sense code "medium not present"
constexpr int kTests = 3;        // TEST UNIT READY before the sense code is judged
// A WRITE BUFFER drive saves the downloaded code and restarts.
constexpr int kSaveSeconds = 2;

// The warning and its confirmation come once per run, before the first
// drive. False when the user declined or the answers ended.
bool ConfirmOnce(Session& s) {
    if (s.printed) return true;
    s.printed = true;
    sup::printf("                 WARNING!\n");
    sup::printf("Firmware updates should be done in single user mode.\n");
    sup::printf("If you cannot put your machine into single user mode,\n");
    sup::printf("unmount and remove any media from the drive and stop\n");
    sup::printf("volume management.\n");
    for (;;) {
        DiscardTypeAhead(s.input);
        sup::printf("\nContinue? (y/n) ");
        sup::flush();
        std::optional<int> c;
        do {
            c = GetAnswer(s.input);
        } while (c == '\n');
        if (c == 'y') return true;
        if (!c || c == 'n') return false;
    }
}

// What a drive shows of its firmware: the flash identity area of the
// loader mode (read with the maker's read command), or the INQUIRY revision.
using Shown = std::vector<unsigned char>;

// How long a drive may take to answer again after an upgrade: it restarts
// with the new firmware.
constexpr int kRestartSeconds = 30;

std::optional<Shown> ReadFirmware(const Session& s, Drive at, TransferProcedure procedure) {
    if (procedure == ROM_PROGRAMMING) {
        if (ReadRom(s.scgp, at, FLASH_ID_AREA, FLASH_ID_AREA_LEN, s.buffer) != Reply::ok) return std::nullopt;
        return Shown(s.buffer, s.buffer + FLASH_ID_AREA_LEN);
    }
    const std::optional<InquiryText> inq = DevInquiry(s.scgp, at);
    if (!inq) return std::nullopt;
    return Shown(inq->revision, inq->revision + VERSION_LEN);
}

// After a complete transfer: a drive that does not answer is asked again
// once a second, quietly, until it does or kRestartSeconds have passed.
std::optional<Shown> ReadBack(const Session& s, Drive at, TransferProcedure procedure) {
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(kRestartSeconds);
    std::optional<Shown> shown = ReadFirmware(s, at, procedure);
    s.scgp->silent++;
    while (!shown && std::chrono::steady_clock::now() < give_up) {
        sleep(1);
        shown = ReadFirmware(s, at, procedure);
    }
    s.scgp->silent--;
    return shown;
}

// The version text: up to VERSION_LEN characters, fewer when a zero byte
// comes first; empty when the drive did not answer.
void VersionText(const std::optional<Shown>& shown, TransferProcedure procedure,
                 char (&version)[VERSION_LEN + 1]) {
    unsigned n = 0;
    if (shown) {
        const unsigned char* from =
            shown->data() + (procedure == ROM_PROGRAMMING ? std::size_t{FLASH_ID_VERSION_AT} : 0);
        while (n < VERSION_LEN && from[n] != 0) {
            version[n] = static_cast<char>(from[n]);
            n++;
        }
    }
    version[n] = 0;
    PrintableText(version);
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

// What a drive that took the image shows.
Image Expected(const Session& s, Image image, TransferProcedure procedure) {
    return procedure == ROM_PROGRAMMING ? fwimage::flash_identity(image)
                                        : fwimage::version_field(image, s.UpgradeDrive);
}

// A drive that took the image shows what the image holds; anything else
// (an old or garbled version, no answer) makes the upgrade a failure, said
// on standard error with what the drive showed and what the image holds.
bool Confirmed(const Session& s, Drive at, Image image, TransferProcedure procedure,
               const std::optional<Shown>& shown) {
    const bool rom = procedure == ROM_PROGRAMMING;
    const Image expected = Expected(s, image, procedure);
    if (shown && std::equal(shown->begin(), shown->end(), expected.begin(), expected.end())) return true;
    char unread[32];
    sup::zt_snprintf(unread, sizeof unread, "could not be read for %d s", kRestartSeconds);
    const std::string reads = shown ? "reads " + Quoted(*shown) : unread;
    sup::fprintf(stderr,
                 "qvupdate: drive HA:%d ID:%d: the %s %s after the upgrade, the image holds %s; run the "
                 "upgrade again before you switch the drive off\n",
                 at.ha, at.id, rom ? "flash identity area" : "firmware version", reads.c_str(),
                 Quoted(expected).c_str());
    return false;
}

bool Blank(const std::optional<Shown>& shown) {
    return shown && std::all_of(shown->begin(), shown->end(), [](unsigned char c) { return c == 0xFF; });
}

// What a transfer came to. Once a command that changes the flash was sent,
// unless the drive refused it outright (NOT READY, ILLEGAL REQUEST), the
// flash may have changed, and it holds no whole firmware until the transfer
// completes.
struct Transfer {
    bool complete = false;
    bool at_risk = false;

    // Notes a changing command's reply; true when it went through.
    bool Changing(Reply r) {
        if (r != Reply::refused) at_risk = true;
        return r == Reply::ok;
    }
};

// At a terminal, the bytes sent so far out of the total, after the line
// that announces the transfer and rewritten in place as pieces go; cleared
// before the line goes on with "Done". Where standard output is a terminal
// too, it is the same line, so the announcement is written again after
// each carriage return.
class Progress {
public:
    Progress(const std::string& announced, long total)
        : on_(IsTerminal(stderr)), lead_(IsTerminal(stdout) ? announced : ""), total_(total) {}
    ~Progress() {
        if (width_ > 0) sup::fprintf(stderr, "\r%*s\r%s", static_cast<int>(width_), "", lead_.c_str());
    }
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    void Show(long sent) {
        if (!on_) return;
        char count[64];
        sup::zt_snprintf(count, sizeof count, " %ld of %ld bytes", sent, total_);
        const std::string line = lead_ + count;
        width_ = std::max(width_, line.size());
        sup::fprintf(stderr, "\r%s", line.c_str());
    }

private:
    bool on_;
    std::string lead_;
    long total_;
    std::size_t width_ = 0;  // the longest line shown
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
Transfer Send(const Session& s, Drive at, Image image, const TransferPlan& plan, bool at_risk,
              Progress& progress) {
    Transfer t;
    t.at_risk = at_risk;
    const bool rom = plan.procedure == ROM_PROGRAMMING;
    // The run took only an image that holds every piece; never send beyond it.
    if (!fwimage::complete(image, s.UpgradeDrive)) return t;
    if (rom) {
        HoldSignals();
        if (!t.Changing(EraseRom(s.scgp, at))) return t;
    }
    for (int p = 0; p < plan.pieces; p++) {
        const bool closing = p == plan.pieces - 1;
        const long offset = static_cast<long>(p) * plan.piece_size;
        sup::movebytes(image.data() + offset, s.buffer, plan.piece_size);
        HoldSignals();
        const Reply r =
            rom ? WriteRom(s.scgp, at, closing ? ROM_LAST : ROM_MORE, offset, plan.piece_size, s.buffer)
                : WriteBuffer(s.scgp, at, closing ? WB_MODE_SAVE : WB_MODE_DOWNLOAD, 0, offset,
                              plan.piece_size, s.buffer);
        if (rom || closing) t.Changing(r);
        if (r != Reply::ok) return t;
        progress.Show(offset + plan.piece_size);
    }
    t.complete = true;
    return t;
}

// Says why a drive is not upgraded at all.
void SayNotFound(const Session& s, Drive at, const Identified& found) {
    char model[PRODUCT_ID_LEN + 1];
    if (found.type == NO_TYPE && found.reply == Reply::in_use)
        sup::fprintf(stderr, "qvupdate: drive HA:%d ID:%d is in use by another process\n", at.ha, at.id);
    else if (found.type == NORMAL_MODE_TYPE && s.UpgradeDrive == LOADER_TYPE)
        PrintJumper();
    else
        sup::printf("No %s found at HA:%d ID:%d\n", ModelName(s.UpgradeDrive, model), at.ha, at.id);
}

}  // namespace

UpgradeResult upgrade(Session& s, Drive at, Image image) {
    char text[kDescriptionLen];
    char model[PRODUCT_ID_LEN + 1];
    // Its reply is taken now: whether the drive is in use.
    const Identified found = IdentifyDrive(s, at, text);

    SayDriveName(s, at);
    // A dry run asks nothing: it writes nothing.
    if (!s.options.dry_run && !ConfirmOnce(s)) return UpgradeResult::refused;

    if (found.type != s.UpgradeDrive) {
        SayNotFound(s, at, found);
        return UpgradeResult::refused;
    }

    for (int i = 0; i < kTests; i++) Test(s.scgp, at);
    // Only a drive that says it has no disc is written: a ready drive may be
    // in use, and any other answer leaves its state unknown.
    if (scg_sense_code(s.scgp) != kNoMedium) {
        sup::printf("Please remove medium from drive and try again.\n");
        return UpgradeResult::refused;
    }

    const TransferPlan* plan = transfer_plan(s.UpgradeDrive);
    if (!plan) return UpgradeResult::failed;

    char version[VERSION_LEN + 1];
    std::optional<Shown> shown = ReadFirmware(s, at, plan->procedure);
    // An erased flash: the upgrade is the way back, so it goes on.
    const bool blank = plan->procedure == ROM_PROGRAMMING && Blank(shown);
    if (blank)
        sup::fprintf(stderr,
                     "qvupdate: the drive's flash reads as blank: an earlier upgrade did not complete\n");
    VersionText(shown, plan->procedure, version);
    ModelName(s.UpgradeDrive, model);
    if (s.options.dry_run) {
        char wanted[VERSION_LEN + 1];
        const Image expected = Expected(s, image, plan->procedure);
        VersionText(Shown(expected.begin(), expected.end()), plan->procedure, wanted);
        sup::flush();
        sup::fprintf(stderr, "qvupdate: would upgrade the %s at HA:%d ID:%d from version %s to %s\n", model,
                     at.ha, at.id, version, wanted);
        return UpgradeResult::checked;
    }
    sup::printf("Current firmware version: %s\n", version);
    char announced[128];
    sup::zt_snprintf(announced, sizeof announced, "Upgrade %s (HA:%d ID:%d) in progress...", model, at.ha,
                     at.id);
    sup::printf("%s", announced);
    sup::flush();

    Transfer t;
    {
        Progress progress(announced, static_cast<long>(plan->pieces) * plan->piece_size);
        // A blank flash holds no whole firmware until a transfer completes.
        t = Send(s, at, image, *plan, blank, progress);
    }
    ReleaseSignals();
    sup::printf("Done\n");

    if (plan->procedure == WRITE_BUFFER) sleep(kSaveSeconds);
    shown = t.complete ? ReadBack(s, at, plan->procedure) : ReadFirmware(s, at, plan->procedure);
    VersionText(shown, plan->procedure, version);
    if (plan->procedure == ROM_PROGRAMMING)
        sup::printf("New firmware version: %s\n", version);
    else
        sup::printf("New firmware version    : %s\n", version);
    if (!t.complete) return t.at_risk ? UpgradeResult::failed_at_risk : UpgradeResult::failed;
    return Confirmed(s, at, image, plan->procedure, shown) ? UpgradeResult::done : UpgradeResult::failed;
}

// The drive listing (-l) and the jumper notice for the QV-G253K.
#include "tool/listing.h"

#include <cstring>

#include "support/printf.h"
#include "drivecmd/drive.h"
#include "fwimage/fwtables.h"
#include "tool/dialogue.h"
#include "tool/drivetype.h"
#include "tool/link.h"
#include "tool/report.h"

namespace {

constexpr int kListHosts = 8;
constexpr int kListTargets = 16;  // wider than the scan: wide SCSI ids too

const char* const kJumperNotice[] = {
    "You need to install a jumper to enable upgrade .",
    "Rear side of view of QV-G253K :",
    "                   BLOCK",
    "      SCSI-ID      | FLASH",
    "       | | |       | |",
    "       . . . . . . . .",
    "       . . . . . .|. .|   SCSI connector",
    "      PCB side    ----- <- jumper",
};

// Calls listed(at, found, text) for every drive of the maker from target
// `first` on; the count of addresses whose drive another program holds.
template <class F>
int ForEachListed(Link& link, int first, F listed) {
    int busy = 0;
    for (int ha = 0; ha < kListHosts; ha++) {
        for (int id = first; id < kListTargets; id++) {
            char text[kDescriptionLen];
            const Identified found = IdentifyDrive(link, {ha, id}, text);
            if (found.type >= 0 || found.type == UNKNOWN_PRODUCT) listed(Drive{ha, id}, found, text);
            if (found.reply == Reply::in_use) busy++;
        }
    }
    return busy;
}

}  // namespace

int ListDrives(Link& link, Dialogue& dialogue, Report& report, int image_type) {
    return ForEachListed(link, 0, [&](Drive at, const Identified& found, const char* text) {
        sup::printf("%s (HA:%d ID:%d)\n", text, at.ha, at.id);
        dialogue.SayDriveName(link, at);
        DriveReport& d = report.drives.emplace_back();
        d.at = at;
        char names[128];
        if (link.layer().device_name != nullptr &&
            link.layer().device_name(at.ha, at.id, 0, names, sizeof names) >= 0)
            d.names = names;
        d.vendor = found.inquiry.vendor;
        d.product = found.inquiry.product;
        d.revision = found.inquiry.revision;
        d.type = found.type;
        d.model = model_name(found.type);
        if (image_type != NO_TYPE) d.for_image = found.type == image_type;
    });
}

void SayBeyondScan(Link& link) {
    ForEachListed(link, SCAN_TARGETS, [](Drive at, const Identified&, char* text) {
        // The first line of a drive that is not recognized.
        if (char* newline = std::strchr(text, '\n')) *newline = '\0';
        sup::flush();
        sup::fprintf(
            stderr,
            "qvupdate: the scan of targets 0 to %d leaves out %s (HA:%d ID:%d); -ha:%d -id:%d upgrades it\n",
            SCAN_TARGETS - 1, text, at.ha, at.id, at.ha, at.id);
    });
}

void PrintJumper() {
    sup::printf("\n");
    for (const char* line : kJumperNotice) sup::printf("%-63s\n", line);
}

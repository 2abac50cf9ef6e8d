// The drive listing (-l) and the jumper notice for the QV-G253K.
#include "support/printf.h"
#include "tool/qvupgrade.h"

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

}  // namespace

void ListDrives(Session& s) {
    for (int ha = 0; ha < kListHosts; ha++) {
        for (int id = 0; id < kListTargets; id++) {
            char text[kDescriptionLen];
            int type = DravlinType(s, {ha, id}, text);
            if (type < 0 && type != UNKNOWN_PRODUCT) continue;
            sup::printf("%s (HA:%d ID:%d)\n", text, ha, id);
            SayDriveName(s, {ha, id});
        }
    }
}

void PrintJumper() {
    sup::printf("\n");
    for (const char* line : kJumperNotice) sup::printf("%-63s\n", line);
}

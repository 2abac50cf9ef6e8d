// Session set-up: the link opened and given what the command line asks of
// the layer, the address of the command line resolved, the drive table.
#pragma once

#include <optional>

#include "drivecmd/drive.h"
#include "tool/cmdline.h"
#include "tool/link.h"
#include "tool/runend.h"

// What the set-up found, or the end of the run (said, or to be said).
struct SessionSetUp {
    std::optional<RunEnd> end;
    DriveTable drives;
    // The one drive the command line names (-id:, or dev=, also by a kernel
    // name); none for every drive.
    std::optional<Drive> target;
};

// Opens the link, hands the layer the files of --log and --record, resolves
// a kernel name, reconciles dev= with -ha:/-id:, gets the buffer and fills
// the drive table.
SessionSetUp initscsi(const Options& o, Link& link);

// The upgrade of one drive.
#pragma once

#include <string>

#include "drivecmd/drive.h"
#include "tool/drivetype.h"
#include "tool/imagecheck.h"

struct Run;

// What became of the upgrade of one drive.
enum class UpgradeResult {
    done,  // every piece went through and the drive shows the image
    // A transfer command failed, or the drive does not show the image.
    failed,
    // As failed, and the flash may be partly written.
    failed_at_risk,
    // The transfer went through, and the drive did not answer within the
    // wait after it: it may still be saving the image (said how to check).
    unconfirmed,
    // Not upgraded, and said why (declined, another drive or none at the
    // address, a drive in use, a disc, the end of the answers, a backup
    // that could not be taken): the run ends with status 1.
    refused,
    // --dry-run: every check passed, and what would be written was said.
    checked,
};
UpgradeResult upgrade(Run& run, Drive at, Image image);

// What a y to a question about the drive at an address does, for standard
// error: its model, address and kernel names, the version it reports and
// the image's; or that it holds no drive of the image's model.
std::string WhatAYesDoes(const Run& run, Drive at, const Identified& found, Image image);

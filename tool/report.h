// What a run did, for scripts (--json): the image, each drive with what
// became of it, the run's status; one JSON document, rendered at the end or,
// when a signal ends the run, as far as it got.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "drivecmd/drive.h"

struct DriveReport {
    Drive at{-1, -1};
    std::string names;  // the kernel's, where the layer has them
    // The listing: what the drive answers, its type and model where known,
    // and whether the image given is for it (none: no image).
    std::string vendor, product, revision;
    int type = -1;
    std::string model;
    std::optional<bool> for_image;
    // An upgrade: the versions before and after (none: not read), what
    // became of it ("upgraded", "would-upgrade", "refused" with the reason,
    // "failed", "failed-at-risk", "not-confirmed"; "interrupted" while none
    // yet, as a signal that ends the run leaves it), the pieces sent of the
    // pieces planned, the seconds it took, the backup made.
    std::optional<std::string> before, after;
    std::string outcome, reason;
    int pieces_sent = 0, pieces = 0;
    double seconds = 0;
    std::string backup;
};

struct ImageReport {
    std::string file;
    int type = -1;
    std::string model, version, verdict;
};

struct Report {
    std::string mode;  // "list", "upgrade", "dry-run"
    std::vector<int> adapters;
    std::optional<ImageReport> image;
    std::vector<DriveReport> drives;
    // Why the run ended early (a refused command line, image or layer).
    std::string error;

    // The document: complete once the run has its status; otherwise what
    // was done so far.
    std::string Render(std::optional<int> status) const;

    // Where a signal that ends the run leaves the document (--json), or -1.
    int last_words_fd = -1;
    // The document as far as the run got, for such a signal.
    void Keep() const;
};

// The questions of a run, and what their answers settled: whether the
// warning was confirmed, whether every further drive is wanted, which
// drive's kernel names were shown last.
#pragma once

#include <cstdio>
#include <optional>
#include <string>

#include "drivecmd/drive.h"

class Link;

class Dialogue {
public:
    explicit Dialogue(FILE* input) : input_(input) {}

    enum class Confirmation {
        asked,     // shown now and answered y
        earlier,   // once a run: shown before
        declined,  // answered n, or the answers ended
    };
    // The warning and "Continue? (y/n) ", before the first drive of a run;
    // `what` (a line for standard error) says what a y does.
    Confirmation ConfirmOnce(const std::string& what);

    // "Upgrade Dravlin drive at HA:x ID:y? (y/n/a) ": 'y', 'n' or 'a' (at
    // once once every drive is wanted). None when the answers ended.
    std::optional<int> AskForDrive(const Link& link, Drive at, const std::string& what);
    // The answer 'a' was given: every further drive is upgraded.
    bool all() const { return all_; }

    // "HA:0 ID:2 = /dev/sg3 (2:0:0:0)" on standard error, once for a drive
    // in a row, where the layer knows the kernel's name of the address.
    void SayDriveName(const Link& link, Drive at);

private:
    FILE* input_;
    bool confirmed_ = false;
    bool all_ = false;
    Drive named_{-1, -1};
};

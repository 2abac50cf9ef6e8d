// A run of qvupdate: the command line, the banner and the four modes, over
// the seams main hands it.
#pragma once

#include <cstdio>

#include "drivecmd/drive.h"
#include "tool/runend.h"

class Clock;
class Dialogue;
class Link;
struct Options;
struct Report;

// What a run shares once its session is open. Each part is written by the
// functions named beside it and read by the others.
struct Run {
    const Options& options;
    Link& link;
    Clock& clock;
    Dialogue& dialogue;    // its own questions
    DriveTable drives;     // initscsi's
    Report& report;        // for --json: the image by LoadImage, the drives by the listing and upgrade
    int UpgradeDrive = 0;  // the image's drive type, by LoadImage
    int backups = 0;       // flashes saved by --backup so far, by Backup
};

// The run from the command line on: main ends it as the result says. The
// link is opened here; the clock waits for its drives; answers come from
// input.
RunEnd RunProgram(int argc, char** argv, Link& link, Clock& clock, FILE* input);

// The command line of qvupdate: what it asks for, parsed once; the banner,
// the usage and --help.
#pragma once

#include <string>

#include "tool/address.h"

// What the command line asks for. Constant once parsed: what the run learns
// later lives with the run.
struct Options {
    const char* file = "";  // whole: a name too long to open is refused, not cut
    const char* devtext = nullptr;
    int ha = 0;
    int id = kNoTarget;
    bool all = false;
    bool list = false;
    bool help = false;
    bool file_given = false;
    bool debug = false;            // -debug
    bool dry_run = false;          // --dry-run: every check, nothing written
    bool options_help = false;     // --help
    bool version = false;          // --version
    const char* log = nullptr;     // --log FILE: the ASPI layer's command log
    const char* record = nullptr;  // --record FILE: the ASPI layer's transcript
    const char* backup = nullptr;  // --backup FILE: the flash before the erase
    bool ha_given = false;         // -ha: was given
    bool json = false;             // --json: a document on standard output
    // Why the command line is refused with the usage (the argument and the
    // rule it breaks), said on standard error; empty: it is not.
    std::string refused;
};

// Later arguments override earlier ones; an unknown -x is named on
// standard error as it is met.
Options ParseArgs(int argc, char** argv);

void PrintBanner();
void PrintUsage();
// --help: the usage and one line per option.
void PrintOptions();

// The console of a run: the standard descriptors and the questions answered
// from the input. Calls nothing else of the tool, so every file of it may use
// these.
#pragma once

#include <cstdio>
#include <optional>

// Opens each of descriptors 0, 1 and 2 that is closed on /dev/null: the
// input read only (the end of input at once), the outputs write only (what
// is written goes nowhere), so that no file opened later (a drive's node, a
// lock or log file) can take its place and receive the run's output. First
// act of a run; false when it cannot be done, and the run then ends with
// status 1.
bool OccupyClosedStandardDescriptors();

// Drops what was typed ahead at a terminal, so that only what is typed after
// a question answers it.
void DiscardTypeAhead(FILE* in);
// The next character typed, an upper-case letter turned into lower case.
// None at the end of the input, after the line on standard output is ended:
// the run then ends with status 1.
std::optional<int> GetAnswer(FILE* in);

// --json: what the program writes to standard output goes to standard error
// from now on; the descriptor of the standard output as it was, for the
// document (-1 when it could not be kept: the document then goes with the
// texts).
int DivertStandardOutput();
// Standard output is the descriptor DivertStandardOutput gave again.
void RestoreStandardOutput(int kept);

// Whether a stream goes to a terminal (a console on Windows), where a
// line can be rewritten in place.
bool IsTerminal(FILE* stream);

// How switches are written on this system: on Windows a slash begins one
// (/l, /ha:3) and is matched by its first characters as a dash is; elsewhere
// a slash begins a path, so that only the whole switch counts.
bool SlashSwitchesArePrefixes();

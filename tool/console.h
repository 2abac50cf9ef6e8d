// The console of a run: questions answered from standard input, and the one
// way a run ends. Calls nothing else of the tool, so every file of it may use
// these.
#pragma once

// Opens each of descriptors 0, 1 and 2 that is closed on /dev/null, read
// only: reading it gives the end of input and writing fails as on the closed
// descriptor, so the run goes as it would have, but no file opened later
// (a drive's node, a lock or log file) can take its place and receive the
// run's output. First act of a run; one that cannot do it ends with status 1.
void OccupyClosedStandardDescriptors();

// Drops what was typed ahead at a terminal, so that only what is typed after
// a question answers it.
void DiscardTypeAhead();
// The next character typed, an upper-case letter turned into lower case. At
// the end of standard input the line is ended and the run ends with status 1.
int GetAnswer();
// Flushes standard output and ends the run; output that could not be
// written is said on standard error and never ends with status 0.
[[noreturn]] void EndRun(int status);

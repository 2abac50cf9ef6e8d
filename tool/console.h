// The console of a run: questions answered from standard input, and the one
// way a run ends. Calls nothing else of the tool, so every file of it may use
// these.
#pragma once

// Drops what was typed ahead at a terminal, so that only what is typed after
// a question answers it.
void DiscardTypeAhead();
// The next character typed, an upper-case letter turned into lower case. At
// the end of standard input the line is ended and the run ends with status 1.
int GetAnswer();
// Flushes standard output and ends the run; output that could not be
// written is said on standard error and never ends with status 0.
[[noreturn]] void EndRun(int status);

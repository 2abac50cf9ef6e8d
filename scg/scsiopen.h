// Numeric device address parsing of scg_open, visible for tests and fuzzing.
#pragma once

// Parses "bus,target,lun", "target,lun" or "target," into the outputs.
// Returns how many numbers were found (0 to 3), or -1 with the message in
// errs (bounded by slen, always terminated) when errs is given.
int scg_scandev(const char* devp, char* errs, int slen, int* busp, int* tgtp, int* lunp);

// The transfer window: from the first command that changes a drive until the
// transfer has ended, the signals that would end or stop the run are held,
// so that an interrupt never leaves a drive erased or half-written.
#pragma once

#include <string>

// Opens the window; calling it while it is open changes nothing.
void HoldSignals();
// Closes the window: a signal that arrived meanwhile takes its normal effect
// now (the run ends, or stops for SIGTSTP). Nothing happens when it is closed.
void ReleaseSignals();

// --json: from now on a signal that ends the run (SIGINT, SIGTERM, SIGHUP,
// SIGQUIT; held in a transfer until it has ended) first writes the last
// text given to fd: the document as far as the run got.
void LeaveLastWords(int fd);
void SetLastWords(const std::string& text);

// A write to a closed pipe or beyond the file-size limit fails instead of
// ending the process (SIGPIPE, SIGXFSZ), for the whole run.
void IgnoreWriteSignals();

// What the console of a run asks of Windows.
#include <io.h>
#include <windows.h>

#include <cstdio>

#include "tool/console.h"

// The C library keeps descriptors 0, 1 and 2 for the standard streams, with
// a handle or without one, so no file opened later can take their place.
bool OccupyClosedStandardDescriptors() { return true; }

void DiscardTypeAhead(FILE* in) {
    // Only a console: piped answers are all typed ahead, on purpose.
    HANDLE console = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(in)));
    DWORD mode = 0;
    if (!GetConsoleMode(console, &mode)) return;
    // The C library's buffer (Windows' C library empties it for an input
    // stream), then the keys the console holds.
    std::fflush(in);
    FlushConsoleInputBuffer(console);
}

bool IsTerminal(FILE* stream) { return _isatty(_fileno(stream)) != 0; }

int DivertStandardOutput() {
    std::fflush(stdout);
    const int kept = _dup(1);
    if (kept >= 0) _dup2(2, 1);
    return kept;
}

void RestoreStandardOutput(int kept) {
    if (kept < 0) return;
    std::fflush(stdout);
    _dup2(kept, 1);
    _close(kept);
}

bool SlashSwitchesArePrefixes() { return true; }

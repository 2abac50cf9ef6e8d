// The console control handler of the transfer window on Windows, for its
// tests: Windows calls it on a thread of its own for each control event.
#pragma once

#include <windows.h>

// While the window is open: Ctrl-C, Ctrl-Break and the console's closing are
// taken (TRUE; a closing console waits until the window closes), noticed
// once on standard error, and end the run when it closes. FALSE otherwise,
// so that the next handler, at last Windows' own, takes the event.
BOOL WINAPI HoldControlEvent(DWORD event);

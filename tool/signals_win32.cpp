// The transfer window on Windows: Ctrl-C, Ctrl-Break and the closing of the
// console reach a console program through its control handlers, each on a
// thread of its own, not as signals.
#include <io.h>
#include <windows.h>

#include <atomic>
#include <string>

#include "tool/signals.h"
#include "tool/signals_win32.h"

namespace {

const char kNotice[] = "qvupdate: firmware transfer in progress, the signal takes effect when it ends\n";

std::atomic<bool> open_window{false};
std::atomic<bool> arrived{false};
std::atomic<bool> announced{false};
// Set while no window is open. A closing console ends the process as soon
// as its handler returns, so the handler waits here for the window to close.
HANDLE closed_window = CreateEventA(nullptr, TRUE, TRUE, nullptr);

// A console program's interrupt ends it at once outside a transfer; in
// one, the document is written before the run ends (ReleaseSignals).
int words_fd = -1;
std::string words;

}  // namespace

BOOL WINAPI HoldControlEvent(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) return FALSE;
    if (!open_window) return FALSE;  // the next handler, at last the default: the run ends
    arrived = true;
    if (!announced.exchange(true)) {
        int r = _write(2, kNotice, sizeof kNotice - 1);
        (void)r;
    }
    if (event == CTRL_CLOSE_EVENT) {
        WaitForSingleObject(closed_window, INFINITE);
        return FALSE;
    }
    return TRUE;
}

void HoldSignals() {
    if (open_window) return;
    arrived = false;
    announced = false;  // said once a transfer
    ResetEvent(closed_window);
    open_window = true;
    SetConsoleCtrlHandler(HoldControlEvent, TRUE);
}

void ReleaseSignals() {
    if (!open_window) return;
    open_window = false;
    SetConsoleCtrlHandler(HoldControlEvent, FALSE);
    SetEvent(closed_window);
    // What Windows' own handler does with an interrupt: the run ends at once,
    // with the status every Windows program gets for it.
    if (!arrived) return;
    if (words_fd >= 0) {
        int r = _write(words_fd, words.data(), static_cast<unsigned>(words.size()));
        (void)r;
    }
    ExitProcess(static_cast<UINT>(STATUS_CONTROL_C_EXIT));
}

void LeaveLastWords(int fd) { words_fd = fd; }
void SetLastWords(const std::string& text) { words = text; }

// A write to a closed pipe or a full disc fails on Windows; nothing ends the
// process.
void IgnoreWriteSignals() {}

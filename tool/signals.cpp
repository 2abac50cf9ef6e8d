#include "tool/signals.h"

#include <signal.h>
#include <unistd.h>

#include <csignal>
#include <cstring>

namespace {

constexpr int kHeld[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP};
constexpr int kCount = sizeof kHeld / sizeof kHeld[0];

const char kNotice[] = "qvupdate: firmware transfer in progress, the signal takes effect when it ends\n";

bool open_window = false;
struct sigaction saved[kCount];
// Written by the handler, which may run on any thread of the process: the
// simulated ASPI layer has a worker of its own.
volatile sig_atomic_t arrived[kCount];
volatile sig_atomic_t announced = 0;

void Record(int sig) {
    for (int i = 0; i < kCount; i++)
        if (kHeld[i] == sig) arrived[i] = 1;
    if (!announced) {
        announced = 1;
        ssize_t r = write(STDERR_FILENO, kNotice, sizeof kNotice - 1);
        (void)r;
    }
}

}  // namespace

void HoldSignals() {
    if (open_window) return;
    open_window = true;
    struct sigaction hold;
    std::memset(&hold, 0, sizeof hold);
    hold.sa_handler = Record;
    sigfillset(&hold.sa_mask);
    hold.sa_flags = SA_RESTART;
    for (int i = 0; i < kCount; i++) {
        arrived[i] = 0;
        sigaction(kHeld[i], &hold, &saved[i]);
    }
}

void ReleaseSignals() {
    if (!open_window) return;
    open_window = false;
    // Back to what they were first, so that raising one now does what it
    // would have done when it came (nothing, if it was ignored).
    for (int i = 0; i < kCount; i++) sigaction(kHeld[i], &saved[i], nullptr);
    for (int i = 0; i < kCount; i++)
        if (arrived[i]) raise(kHeld[i]);
}

void IgnoreBrokenPipe() { signal(SIGPIPE, SIG_IGN); }

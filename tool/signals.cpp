#include "tool/signals.h"

#include <signal.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>

namespace {

// Every signal that ends or stops the process by default and can be caught,
// but those a fault of the program itself raises (SIGSEGV, SIGBUS, SIGFPE,
// SIGILL, SIGABRT, SIGTRAP, SIGSYS: held, they would come back at once) and
// SIGPIPE and SIGXFSZ, ignored for the whole run. The real-time signals end
// a process too; glibc keeps the first few for itself, so they start at
// SIGRTMIN. The first five as they always were: when the window closes the
// held ones are raised in this order (signals that came together reach the
// handler by number, not in the order they were sent), so an interrupt ends
// the run as an interrupt.
constexpr int kFixed[] = {SIGINT,  SIGTERM, SIGHUP,    SIGQUIT, SIGTSTP, SIGTTIN, SIGTTOU, SIGUSR1,
                          SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU, SIGPOLL, SIGPWR,  SIGSTKFLT};
constexpr int kFixedCount = sizeof kFixed / sizeof kFixed[0];
// Room for the real-time signals of any Linux (SIGRTMAX - SIGRTMIN < 32).
constexpr int kMaxHeld = kFixedCount + 33;

const char kNotice[] = "qvupdate: firmware transfer in progress, the signal takes effect when it ends\n";

bool open_window = false;
int held[kMaxHeld];
int nheld = 0;
struct sigaction saved[kMaxHeld];
// Written by the handler, which may run on any thread of the process that
// leaves the signal unblocked.
volatile sig_atomic_t arrived[kMaxHeld];
volatile sig_atomic_t announced = 0;

void Record(int sig) {
    for (int i = 0; i < nheld; i++)
        if (held[i] == sig) arrived[i] = 1;
    if (!announced) {
        announced = 1;
        ssize_t r = write(STDERR_FILENO, kNotice, sizeof kNotice - 1);
        (void)r;
    }
}

// The signals held, fixed once: SIGRTMIN is known only at run time.
void ListHeld() {
    if (nheld > 0) return;
    for (int sig : kFixed) held[nheld++] = sig;
    for (int sig = SIGRTMIN; sig <= SIGRTMAX && nheld < kMaxHeld; sig++) held[nheld++] = sig;
}

}  // namespace

void HoldSignals() {
    if (open_window) return;
    open_window = true;
    ListHeld();
    struct sigaction hold;
    std::memset(&hold, 0, sizeof hold);
    hold.sa_handler = Record;
    sigfillset(&hold.sa_mask);
    hold.sa_flags = SA_RESTART;
    // Said once a transfer: each window is a transfer of its own.
    announced = 0;
    for (int i = 0; i < nheld; i++) {
        arrived[i] = 0;
        sigaction(held[i], &hold, &saved[i]);
    }
}

void ReleaseSignals() {
    if (!open_window) return;
    open_window = false;
    // Back to what they were first, so that raising one now does what it
    // would have done when it came (nothing, if it was ignored).
    for (int i = 0; i < nheld; i++) sigaction(held[i], &saved[i], nullptr);
    for (int i = 0; i < nheld; i++)
        if (arrived[i]) raise(held[i]);
}

namespace {

// Read by the handler, so replaced only while every signal is blocked.
int words_fd = -1;
char* words = nullptr;
std::size_t words_len = 0;

void SayLastWordsAndEnd(int sig) {
    std::size_t done = 0;
    while (done < words_len) {
        const ssize_t n = write(words_fd, words + done, words_len - done);
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    signal(sig, SIG_DFL);
    raise(sig);
}

}  // namespace

void LeaveLastWords(int fd) {
    words_fd = fd;
    struct sigaction last;
    std::memset(&last, 0, sizeof last);
    last.sa_handler = SayLastWordsAndEnd;
    sigfillset(&last.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        struct sigaction was;
        // A signal the run was started to ignore stays ignored.
        if (sigaction(sig, nullptr, &was) == 0 && was.sa_handler != SIG_IGN) sigaction(sig, &last, nullptr);
    }
}

void SetLastWords(const std::string& text) {
    sigset_t all, was;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &was);
    char* copy = static_cast<char*>(std::malloc(text.size()));
    if (copy != nullptr) {
        std::memcpy(copy, text.data(), text.size());
        std::free(words);
        words = copy;
        words_len = text.size();
    }
    sigprocmask(SIG_SETMASK, &was, nullptr);
}

void IgnoreWriteSignals() {
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
}

// What the console of a run asks of a POSIX system.
#include <fcntl.h>
#include <stdio_ext.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "tool/console.h"

bool OccupyClosedStandardDescriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; fd++) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // The lower ones are open by now, so this one is the lowest free.
        // Output goes nowhere rather than fail: a write that fails in a
        // transfer must stop nothing, and one that goes nowhere cannot.
        if (open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY) != fd) return false;
    }
    return true;
}

void DiscardTypeAhead(FILE* in) {
    // Only a terminal: piped answers are all typed ahead, on purpose.
    if (!isatty(fileno(in))) return;
    __fpurge(in);
    tcflush(fileno(in), TCIFLUSH);
}

bool IsTerminal(FILE* stream) { return isatty(fileno(stream)) == 1; }

int DivertStandardOutput() {
    std::fflush(stdout);
    const int kept = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (kept >= 0) dup2(STDERR_FILENO, STDOUT_FILENO);
    return kept;
}

void RestoreStandardOutput(int kept) {
    if (kept < 0) return;
    std::fflush(stdout);
    dup2(kept, STDOUT_FILENO);
    close(kept);
}

bool SlashSwitchesArePrefixes() { return false; }

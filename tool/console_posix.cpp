// What the console of a run asks of a POSIX system.
#include <fcntl.h>
#include <stdio_ext.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "tool/console.h"

void OccupyClosedStandardDescriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; fd++) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // The lower ones are open by now, so this one is the lowest free.
        if (open("/dev/null", O_RDONLY) != fd) std::_Exit(1);
    }
}

void DiscardTypeAhead() {
    // Only a terminal: piped answers are all typed ahead, on purpose.
    if (!isatty(STDIN_FILENO)) return;
    __fpurge(stdin);
    tcflush(STDIN_FILENO, TCIFLUSH);
}

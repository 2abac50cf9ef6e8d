// What the console of a run asks of a POSIX system.
#include <stdio_ext.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>

#include "tool/console.h"

void DiscardTypeAhead() {
    // Only a terminal: piped answers are all typed ahead, on purpose.
    if (!isatty(STDIN_FILENO)) return;
    __fpurge(stdin);
    tcflush(STDIN_FILENO, TCIFLUSH);
}

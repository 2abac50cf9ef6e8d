// The console of a run: its standard descriptors and the answers typed at
// its questions.
#include "tool/console.h"

#include <fcntl.h>
#include <stdio_ext.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>

#include "support/printf.h"

bool OccupyClosedStandardDescriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; fd++) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // The lower ones are open by now, so this one is the lowest free.
        if (open("/dev/null", O_RDONLY) != fd) return false;
    }
    return true;
}

void DiscardTypeAhead(FILE* in) {
    // Only a terminal: piped answers are all typed ahead, on purpose.
    if (!isatty(fileno(in))) return;
    __fpurge(in);
    tcflush(fileno(in), TCIFLUSH);
}

std::optional<int> GetAnswer(FILE* in) {
    int c = std::getc(in);
    if (c == EOF) {
        sup::printf("\n");
        return std::nullopt;
    }
    return std::isupper(c) ? std::tolower(c) : c;
}

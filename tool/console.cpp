// The console of a run: the answers typed at its questions and its end.
#include "tool/console.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "support/comerr.h"
#include "support/printf.h"

int GetAnswer() {
    int c = std::getc(stdin);
    if (c == EOF) {
        sup::printf("\n");
        EndRun(1);
    }
    return std::isupper(c) ? std::tolower(c) : c;
}

void EndRun(int status) {
    // Output that never arrived is a failure too, whatever else went well.
    errno = 0;
    int failed = sup::flush() != 0 || std::ferror(stdout);
    if (failed) {
        sup::errmsgno(errno > 0 ? errno : -1, "Cannot write standard output.\n");
        if (status == 0) status = 1;
    }
    std::exit(status);
}

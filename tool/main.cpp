// The entry of qvupdate, and the one place where a run ends: everything
// below returns how it ends.
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "support/comerr.h"
#include "support/printf.h"
#include "tool/clock.h"
#include "tool/console.h"
#include "tool/link.h"
#include "tool/run.h"

namespace {

// Flushes standard output and ends the run; output that could not be
// written is said on standard error and never ends with status 0.
[[noreturn]] void EndRun(int status) {
    // Output that never arrived is a failure too, whatever else went well.
    const int failed = sup::flush() != 0 || std::ferror(stdout);
    if (failed) {
        const int error = sup::_io_write_error(stdout);
        sup::errmsgno(error > 0 ? error : -1, "Cannot write standard output.\n");
        if (status == 0) status = 1;
    }
    std::exit(status);
}

}  // namespace

int main(int argc, char** argv) {
    if (!OccupyClosedStandardDescriptors()) return 1;
    // They end with the process: EndRun returns to no one.
    Link link;
    LayerClock clock(link);
    const RunEnd end = RunProgram(argc, argv, link, clock, stdin);
    if (end.fatal) sup::comerrno(end.status, "%s", end.message.c_str());
    if (!end.message.empty()) sup::errmsgno(-1, "%s", end.message.c_str());
    EndRun(end.status);
}

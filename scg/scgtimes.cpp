// Command timing: the start time is taken by scg_cmd, the run time here.
#include "scg/scgtimes.h"

#include "scg/scg.h"

namespace {
void system_time(struct timeval* tv) { gettimeofday(tv, nullptr); }
scg_timefunc timefunc = system_time;
}  // namespace

void scg_gettimeofday(struct timeval* tv) { timefunc(tv); }

scg_timefunc scg_set_timefunc(scg_timefunc f) {
    scg_timefunc old = timefunc;
    timefunc = f ? f : system_time;
    return old;
}

void __scg_times(SCSI* scgp) {
    struct timeval* stp = scgp->cmd_elapsed;
    scg_gettimeofday(stp);
    stp->tv_sec -= scgp->cmd_start->tv_sec;
    stp->tv_usec -= scgp->cmd_start->tv_usec;
    while (stp->tv_usec < 0) {
        stp->tv_sec -= 1;
        stp->tv_usec += 1000000;
    }
}

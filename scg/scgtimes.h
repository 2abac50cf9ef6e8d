// Time of day for command timing, with a replaceable source so that tests can
// state start and stop times exactly.
#pragma once

#include <sys/time.h>

using scg_timefunc = void (*)(struct timeval* tv);

// Reads the current time of day through the installed source.
void scg_gettimeofday(struct timeval* tv);
// Installs a time source (null: the system's gettimeofday); returns the old one.
scg_timefunc scg_set_timefunc(scg_timefunc f);

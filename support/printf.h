// Output front ends over the format engine, and the per-stream flag table.
//
// These names clash with the C library's on purpose: project code calls them
// qualified (sup::printf) or through a using-declaration in its own namespace.
#pragma once

#include <cstdio>

#include "support/args.h"

namespace sup {

int vprintf(const char* fmt, ArgList args);
int vfprintf(FILE* f, const char* fmt, ArgList args);
int vsprintf(char* buf, const char* fmt, ArgList args);
int zt_vprintf(const char* fmt, ArgList args);
int zt_vfprintf(FILE* f, const char* fmt, ArgList args);
int zt_vsnprintf(char* buf, int size, const char* fmt, ArgList args);

template <class... A>
int printf(const char* fmt, const A&... args) {
    SUP_CAPTURE(list, args);
    return vprintf(fmt, list);
}
template <class... A>
int fprintf(FILE* f, const char* fmt, const A&... args) {
    SUP_CAPTURE(list, args);
    return vfprintf(f, fmt, list);
}
template <class... A>
int sprintf(char* buf, const char* fmt, const A&... args) {
    SUP_CAPTURE(list, args);
    return vsprintf(buf, fmt, list);
}
template <class... A>
int zt_printf(const char* fmt, const A&... args) {
    SUP_CAPTURE(list, args);
    return zt_vprintf(fmt, list);
}
template <class... A>
int zt_fprintf(FILE* f, const char* fmt, const A&... args) {
    SUP_CAPTURE(list, args);
    return zt_vfprintf(f, fmt, list);
}
template <class... A>
int zt_snprintf(char* buf, int size, const char* fmt, const A&... args) {
    SUP_CAPTURE(list, args);
    return zt_vsnprintf(buf, size, fmt, list);
}

// Writes len bytes of buf to f, honouring the stream's flags.
int filewrite(FILE* f, const void* buf, int len);
// fflush of standard output.
int flush();

// Per-stream flags: bit 2 = write straight to the descriptor. Bit 1 once
// kept a failed write from raising a condition; no stream raises one now, so
// it is accepted and changes nothing.
enum { _IO_NORAISE = 1, _IO_UNBUFFERED = 2 };
int _io_get_my_flag(FILE* f);
void _io_set_my_flag(FILE* f, int flags);
void _io_add_my_flag(FILE* f, int flags);
// The system error of the first write to f that failed (through filewrite
// or flush), 0 while none did: the stream's error indicator stays set, but
// errno has long changed when the program asks at its end.
int _io_write_error(FILE* f);
void _io_note_write_error(FILE* f, int error);

// Flag table growth step and current size, visible for tests.
extern const int _fl_inc;
extern int _fl_max;

}  // namespace sup

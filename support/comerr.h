// Error reporting, exit functions and conditions.
#pragma once

#include <cerrno>

#include "support/args.h"

namespace sup {

[[noreturn]] void vcomerrno(int err, const char* fmt, ArgList args);
int verrmsgno(int err, const char* fmt, ArgList args);
int vserrmsgno(int err, char* buf, int size, const char* fmt, ArgList args);
int verror(const char* fmt, ArgList args);

// comerr, errmsg and serrmsg take errno on entry, before anything else runs.
template <class... A>
[[noreturn]] void comerr(const char* fmt, const A&... args) {
    int err = errno;
    SUP_CAPTURE(list, args);
    vcomerrno(err, fmt, list);
}
template <class... A>
[[noreturn]] void comerrno(int err, const char* fmt, const A&... args) {
    SUP_CAPTURE(list, args);
    vcomerrno(err, fmt, list);
}
template <class... A>
int errmsg(const char* fmt, const A&... args) {
    int err = errno;
    SUP_CAPTURE(list, args);
    return verrmsgno(err, fmt, list);
}
template <class... A>
int errmsgno(int err, const char* fmt, const A&... args) {
    SUP_CAPTURE(list, args);
    return verrmsgno(err, fmt, list);
}
template <class... A>
int serrmsg(char* buf, int size, const char* fmt, const A&... args) {
    int err = errno;
    SUP_CAPTURE(list, args);
    return vserrmsgno(err, buf, size, fmt, list);
}
template <class... A>
int serrmsgno(int err, char* buf, int size, const char* fmt, const A&... args) {
    SUP_CAPTURE(list, args);
    return vserrmsgno(err, buf, size, fmt, list);
}
template <class... A>
int error(const char* fmt, const A&... args) {
    SUP_CAPTURE(list, args);
    return verror(fmt, list);
}

const char* errmsgstr(int err);
int geterrno();

using ExitFunc = void (*)(int code, void* arg);
int on_comerr(ExitFunc func, void* arg);
[[noreturn]] void comexit(int code);

[[noreturn]] void raisecond(const char* name, long arg);
// What raisecond writes for name (to descriptor 2), without the abort.
void reportcond(const char* name);

}  // namespace sup

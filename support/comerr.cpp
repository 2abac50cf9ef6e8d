// Diagnostics with the program name and the system's error text, and the
// exit functions that run before a fatal report ends the process.
#include <cstdlib>
#include <cstring>
#include <new>

#include "support/comerr.h"
#include "support/internal.h"
#include "support/printf.h"
#include "support/utils.h"

namespace sup {
namespace {

struct ExFunc {
    ExFunc* next;
    ExitFunc func;
    void* arg;
};

ExFunc* exfuncs = nullptr;

int _comerr(bool exflg, int err, const char* fmt, ArgList args) {
    const char* prog = get_progname();
    const Nested msg{fmt, args};
    if (err < 0) {
        error("%s: %r", prog, msg);
    } else {
        char fallback[20];
        error("%s: %s. %r", prog, detail::errtext(err, fallback), msg);
    }
    // The status keeps the number's low eight bits; where they are 0 (no
    // error number was set) the run would look successful.
    if (exflg) comexit((err & 0xFF) != 0 ? err : -1);
    return err;
}

}  // namespace

namespace detail {

const char* errtext(int err, char (&fallback)[20]) {
    const char* s = errmsgstr(err);
    if (s != nullptr) return s;
    zt_snprintf(fallback, sizeof fallback, "Error %d", err);
    return fallback;
}

}  // namespace detail

void vcomerrno(int err, const char* fmt, ArgList args) {
    _comerr(true, err, fmt, args);
    std::abort();  // not reached: comexit does not return
}

int verrmsgno(int err, const char* fmt, ArgList args) { return _comerr(false, err, fmt, args); }

const char* errmsgstr(int err) {
    // strerror invents "Unknown error N" for numbers it does not know; the
    // description table says null for them, so the fallback text applies.
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 32))
    return strerrordesc_np(err);
#else
    return std::strerror(err);
#endif
}

int on_comerr(ExitFunc func, void* arg) {
    auto* rec = new (std::nothrow) ExFunc{exfuncs, func, arg};
    if (rec == nullptr) return -1;
    exfuncs = rec;
    return 0;
}

void comexit(int code) {
    // Each function runs once, even if a later one ends the process itself;
    // a record is released once its function has run, so nothing is left
    // behind unreachable at exit.
    while (exfuncs != nullptr) {
        ExFunc* e = exfuncs;
        e->func(code, e->arg);
        exfuncs = e->next;
        delete e;
    }
    std::exit(code);
}

}  // namespace sup

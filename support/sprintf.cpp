// Unbounded formatting into memory; the caller's buffer must be large enough.
#include "support/format.h"
#include "support/printf.h"

namespace sup {
namespace {

void _cput(int c, void* arg) {
    char*& p = *static_cast<char**>(arg);
    *p++ = static_cast<char>(c);
}

}  // namespace

int vsprintf(char* buf, const char* fmt, ArgList args) {
    char* p = buf;
    const int n = format(_cput, &p, fmt, args);
    *p = '\0';
    return n;
}

}  // namespace sup

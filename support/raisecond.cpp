// Conditions: no handler exists, so raising one is always fatal.
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "support/comerr.h"

namespace sup {
namespace {

// Straight to descriptor 2: the condition may come from a failed stream
// write, so no stream is trusted here.
void put2(const char* s, std::size_t n) {
    ssize_t r = ::write(2, s, n);
    (void)r;
}

[[noreturn]] void raiseabort(const char* name) {
    static const char head[] = "Condition not caught: ";
    static const char tail[] = ".\n";
    static const char ni[] = "Raisecond: not implemented.\n";
    if (name == nullptr) name = "";
    put2(head, sizeof head - 1);
    put2(name, std::strlen(name));
    put2(tail, sizeof tail - 1);
    put2(ni, sizeof ni - 1);
    std::abort();
}

}  // namespace

void raisecond(const char* name, long /*arg*/) { raiseabort(name); }

}  // namespace sup

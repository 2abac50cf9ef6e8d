// Conditions: no handler exists, so raising one is always fatal. Nothing in
// the libraries raises one any more; a library that meets a condition reports
// it with the same text and returns.
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "support/comerr.h"

namespace sup {
namespace {

// Straight to descriptor 2, unbuffered: after a raise the process aborts,
// and nothing may wait in a stream's buffer then.
void put2(const char* s, std::size_t n) {
    ssize_t r = ::write(2, s, n);
    (void)r;
}

}  // namespace

void reportcond(const char* name) {
    static const char head[] = "Condition not caught: ";
    static const char tail[] = ".\n";
    static const char ni[] = "Raisecond: not implemented.\n";
    if (name == nullptr) name = "";
    put2(head, sizeof head - 1);
    put2(name, std::strlen(name));
    put2(tail, sizeof tail - 1);
    put2(ni, sizeof ni - 1);
}

void raisecond(const char* name, long /*arg*/) {
    reportcond(name);
    std::abort();
}

}  // namespace sup

// Bounded formatting into memory: at most size-1 characters and a terminator,
// the result the length of the whole text.
#include "support/format.h"
#include "support/printf.h"

namespace sup {
namespace {

struct Bounded {
    char* next;
    int room;
};

void _cput(int c, void* arg) {
    auto* b = static_cast<Bounded*>(arg);
    if (--b->room > 0)
        *b->next++ = static_cast<char>(c);
    else
        b->room = 1;
}

}  // namespace

int zt_vsnprintf(char* buf, int size, const char* fmt, ArgList args) {
    if (buf == nullptr) size = 0;
    // With no room at all the text is still formatted, for %n and nested
    // formats, but not a byte is stored.
    Bounded b{buf, size > 0 ? size : 1};
    const int n = format(_cput, &b, fmt, args);
    if (size <= 0) return -1;
    *b.next = '\0';
    return n;
}

}  // namespace sup

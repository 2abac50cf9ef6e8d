// Buffered front ends: output is gathered in a 256-byte block on the stack
// and handed to filewrite in whole blocks, so a short message costs one write.
#include <cstdint>

#include "support/format.h"
#include "support/internal.h"
#include "support/printf.h"

namespace sup {
namespace {

constexpr int kBlock = 256;

struct BufOut {
    std::int16_t room;
    char* next;
    char buf[kBlock];
    int count;  // bytes handed to filewrite, -1 once a write failed
    FILE* f;
};

void _bflush(BufOut* b) {
    const int n = static_cast<int>(b->next - b->buf);
    if (b->count >= 0) b->count += n;
    if (filewrite(b->f, b->buf, n) < 0) b->count = -1;
    b->next = b->buf;
    b->room = kBlock;
}

void _bput(int c, void* arg) {
    auto* b = static_cast<BufOut*>(arg);
    *b->next++ = static_cast<char>(c);
    if (--b->room <= 0) _bflush(b);
}

}  // namespace

namespace detail {

int bufprint(FILE* f, const char* fmt, ArgList args) {
    BufOut b;
    b.room = kBlock;
    b.next = b.buf;
    b.count = 0;
    b.f = f;
    format(_bput, &b, fmt, args);
    if (b.room < kBlock) _bflush(&b);
    return b.count;
}

}  // namespace detail

int vprintf(const char* fmt, ArgList args) { return detail::bufprint(stdout, fmt, args); }

int vfprintf(FILE* f, const char* fmt, ArgList args) { return detail::bufprint(f, fmt, args); }

}  // namespace sup

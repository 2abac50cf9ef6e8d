#include <unistd.h>

#include "support/comerr.h"
#include "support/printf.h"

namespace sup {
namespace {

const char _writeerr[] = "file_write_err";

}  // namespace

int filewrite(FILE* f, const void* buf, int len) {
    const int flags = _io_get_my_flag(f);
    if (len < 0) len = 0;
    if (flags & _IO_UNBUFFERED)
        return static_cast<int>(::write(fileno(f), buf, static_cast<std::size_t>(len)));
    const std::size_t n = std::fwrite(buf, 1, static_cast<std::size_t>(len), f);
    if (std::ferror(f)) {
        if (!(flags & _IO_NORAISE)) raisecond(_writeerr, 0L);
        return -1;
    }
    return static_cast<int>(n);
}

}  // namespace sup

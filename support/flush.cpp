#include <cerrno>

#include "support/printf.h"

namespace sup {

int flush() {
    const bool failed_before = std::ferror(stdout) != 0;
    const int r = std::fflush(stdout);
    if (r != 0 && !failed_before) _io_note_write_error(stdout, errno);
    return r;
}

}  // namespace sup

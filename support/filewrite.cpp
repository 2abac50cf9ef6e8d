#include <unistd.h>

#include <cerrno>

#include "support/printf.h"

namespace sup {

// A failed write never ends the run, whatever the stream's flags: the caller
// sees -1, and the stream keeps its error indicator for whoever checks it at
// the end. A terminal closed in mid-transfer must not leave a drive half
// flashed.
int filewrite(FILE* f, const void* buf, int len) {
    if (len < 0) len = 0;
    if (_io_get_my_flag(f) & _IO_UNBUFFERED)
        return static_cast<int>(::write(fileno(f), buf, static_cast<std::size_t>(len)));
    const bool failed_before = std::ferror(f) != 0;
    const std::size_t n = std::fwrite(buf, 1, static_cast<std::size_t>(len), f);
    if (std::ferror(f)) {
        // Only this write's own failure tells why.
        if (!failed_before) _io_note_write_error(f, errno);
        return -1;
    }
    return static_cast<int>(n);
}

}  // namespace sup

// The text of a diagnostic, formatted into the caller's buffer.
#include "support/comerr.h"
#include "support/internal.h"
#include "support/printf.h"
#include "support/utils.h"

namespace sup {

int vserrmsgno(int err, char* buf, int size, const char* fmt, ArgList args) {
    const Nested msg{fmt, args};
    if (err < 0) return zt_snprintf(buf, size, "%s: %r", get_progname(), msg);
    char fallback[20];
    return zt_snprintf(buf, size, "%s: %s. %r", get_progname(), detail::errtext(err, fallback), msg);
}

}  // namespace sup

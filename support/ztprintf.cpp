// The zt_ names of the buffered front ends, used by the libraries.
#include "support/internal.h"
#include "support/printf.h"

namespace sup {

int zt_vprintf(const char* fmt, ArgList args) { return detail::bufprint(stdout, fmt, args); }

int zt_vfprintf(FILE* f, const char* fmt, ArgList args) { return detail::bufprint(f, fmt, args); }

}  // namespace sup

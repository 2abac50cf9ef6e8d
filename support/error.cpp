#include "support/comerr.h"
#include "support/printf.h"

namespace sup {

int verror(const char* fmt, ArgList args) { return zt_fprintf(stderr, "%r", Nested{fmt, args}); }

}  // namespace sup

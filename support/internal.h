// Helpers shared between the support library's own modules; not part of its
// interface.
#pragma once

#include <cstdio>

#include "support/args.h"

namespace sup::detail {

// The buffered front end behind printf, fprintf, zt_printf and zt_fprintf.
int bufprint(FILE* f, const char* fmt, ArgList args);

// The system's text for err, or "Error <err>" in fallback when it has none.
const char* errtext(int err, char (&fallback)[20]);

}  // namespace sup::detail

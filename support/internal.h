// Helpers shared between the support library's own modules; not part of its
// interface.
#pragma once

#include <cstdio>
#include <vector>

#include "support/args.h"

namespace sup::detail {

// The buffered front end behind printf, fprintf, zt_printf and zt_fprintf.
int bufprint(FILE* f, const char* fmt, ArgList args);

// One conversion of a format as written, from the character after its '%' to
// its end; the engine renders it from this alone and the argument list.
enum { F_PLUS = 2, F_BLANK = 4, F_ALT = 8 };
struct Conversion {
    const char* begin = nullptr;  // the character after the '%'
    const char* end = nullptr;    // the first character after the conversion
    int flags = 0;                // F_PLUS, F_BLANK, F_ALT
    bool ljust = false;
    char fill = ' ';
    bool width_arg = false;  // '*': the width is the next argument
    int width = 0;
    bool prec_arg = false;  // ".*": the precision is the argument after it
    int prec = -1;          // -1: none
    // The conversion character, or 'I' for every integer form; then size
    // (C 8 bits, S 16, I and L 32, P and Q 64) and type (D U O x X Z P).
    char conv = '\0';
    char size = 'I';
    char type = 'D';
    bool uns = false;
};
Conversion parse_conversion(const char* after_percent);

// The system's text for err, or "Error <err>" in fallback when it has none.
const char* errtext(int err, char (&fallback)[20]);

// The versions of movebytes this processor can run, the one in use first:
// the tests copy with each.
std::vector<void* (*)(const void*, void*, int)> move_versions();

}  // namespace sup::detail

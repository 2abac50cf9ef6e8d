// The formatted-output engine and its floating-point digit strings.
#pragma once

#include "support/args.h"

namespace sup {

// Receives one character (sign-extended from char) and the caller's argument.
using OutFunc = void (*)(int c, void* arg);

// Runs fmt over args, handing every character to out. Returns the number of
// characters handed over, nested %r formats included.
int format(OutFunc out, void* farg, const char* fmt, ArgList args);

// Size of the engine's work buffer, and the room ftoes and ftofs need.
constexpr int FCONV_BUFSIZE = 512;

// Exponent and fixed forms of value with n digits after the point, written
// terminated into buf; the result is the text's length. "(NaN)" and
// "(Infinity)" stand for the values that have no digits. buf must hold
// FCONV_BUFSIZE bytes: whatever the width, digit count or value, the text
// never goes beyond that (a longer text is cut).
int ftoes(char* buf, double value, int fieldwidth, int ndigits);
int ftofs(char* buf, double value, int fieldwidth, int ndigits);

}  // namespace sup

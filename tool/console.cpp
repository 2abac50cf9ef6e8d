// The console of a run: the answers typed at its questions.
#include "tool/console.h"

#include <cctype>

#include "support/printf.h"

std::optional<int> GetAnswer(FILE* in) {
    int c = std::getc(in);
    if (c == EOF) {
        sup::printf("\n");
        return std::nullopt;
    }
    return std::isupper(c) ? std::tolower(c) : c;
}

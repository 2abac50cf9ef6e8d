// Bounded line input: the rest of an over-long line is dropped, so the next
// call starts at the next line.
#include "support/utils.h"

namespace sup {

int fgetline(FILE* f, char* buf, int len) {
    if (len < 1 || buf == nullptr) return -1;
    int n = 0;
    bool got_any = false;
    int c;
    while ((c = getc(f)) != EOF && c != '\n') {
        got_any = true;
        if (n < len - 1) buf[n++] = static_cast<char>(c);
    }
    buf[n] = '\0';
    if (c == EOF && !got_any) return -1;
    return n;
}

int getline(char* buf, int len) { return fgetline(stdin, buf, len); }

}  // namespace sup

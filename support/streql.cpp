#include "support/utils.h"

namespace sup {

// Unlike strcmp, a null pointer is never equal to anything.
int streql(const char* a, const char* b) {
    if (a == nullptr || b == nullptr) return 0;
    while (*a == *b) {
        if (*a == '\0') return 1;
        a++;
        b++;
    }
    return 0;
}

}  // namespace sup

#include "support/printf.h"

namespace sup {

int flush() { return std::fflush(stdout); }

}  // namespace sup

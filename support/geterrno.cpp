#include <cerrno>

#include "support/comerr.h"

namespace sup {

int geterrno() { return errno; }

}  // namespace sup

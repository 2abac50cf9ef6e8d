// Descriptors the ASPI layers open live above the standard streams. A
// program started with standard output closed would otherwise get a drive's
// node or a lock file as descriptor 1, and write its messages into it.
#pragma once

namespace platform {

// `fd` as it is when above 2 (or -1, errno kept); a descriptor that landed
// on 0, 1 or 2 is moved to the lowest free one above 2, close-on-exec, and
// closed where it landed. -1 with errno set when it cannot be moved (it is
// closed then too).
int above_stdio(int fd);

}  // namespace platform

// Threads of an ASPI layer inside the program's process.
#pragma once

#include <functional>
#include <memory>
#include <thread>

namespace platform {

// Starts a worker that never takes the program's signals: on POSIX every
// signal is blocked while it starts, so it inherits a full mask for its
// whole life and the caller's mask comes back as it was. A worker taking one
// inside a command (SG_IO restarts, and so resends, a command a signal
// interrupted) could send it to the drive twice. Windows sends a program no
// signals, only console events on threads of their own.
std::unique_ptr<std::thread> start_worker(std::function<void()> body);

// Registers what runs around fork() (pthread_atfork); Windows has no fork,
// so nothing is registered there.
void at_fork(void (*prepare)(), void (*parent)(), void (*child)());

// Keeps the ASPI layer that calls it loaded until the process ends; true
// where that is needed. Windows runs a DLL's destructors, when it is
// unloaded, under a lock that every ending thread waits for, so the layer
// could never join its workers then; at the process's end Windows has
// ended them itself. Elsewhere (false) the layer's destructors join them.
bool keep_layer_loaded();

}  // namespace platform

#include <pthread.h>
#include <signal.h>

#include "platform/threads.h"

namespace platform {

std::unique_ptr<std::thread> start_worker(std::function<void()> body) {
    sigset_t all, saved;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &saved);
    auto worker = std::make_unique<std::thread>(std::move(body));
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    return worker;
}

void at_fork(void (*prepare)(), void (*parent)(), void (*child)()) { pthread_atfork(prepare, parent, child); }

bool keep_layer_loaded() { return false; }

}  // namespace platform

// The published entry points of WNASPI32 over one process-wide Host, made
// from the layer that the shared object defines, on first use.
#include <pthread.h>

#include <memory>
#include <mutex>

#include "aspihost/host.h"
#include "platform/aspi.h"

#define ASPI_EXPORT extern "C" __attribute__((visibility("default")))

namespace aspihost {

namespace {

std::mutex instance_lock;
std::unique_ptr<Host> instance_ptr;

void fork_prepare() {
    instance_lock.lock();
    if (instance_ptr) instance_ptr->before_fork();
}
void fork_parent() {
    if (instance_ptr) instance_ptr->after_fork_parent();
    instance_lock.unlock();
}
void fork_child() {
    if (instance_ptr) instance_ptr->after_fork_child();
    instance_lock.unlock();
}

Host& instance() {
    std::lock_guard<std::mutex> g(instance_lock);
    if (!instance_ptr) {
        static const int registered = pthread_atfork(fork_prepare, fork_parent, fork_child);
        (void)registered;
        instance_ptr = std::make_unique<Host>(layer);
    }
    return *instance_ptr;
}

}  // namespace

void reload() {
    std::lock_guard<std::mutex> g(instance_lock);
    instance_ptr.reset();
}

}  // namespace aspihost

ASPI_EXPORT DWORD GetASPI32SupportInfo() { return aspihost::instance().support_info(); }

ASPI_EXPORT DWORD SendASPI32Command(LPSRB srb) { return aspihost::instance().send(srb); }

// The transport allocates its buffers itself; these are looked up, never called.
ASPI_EXPORT int GetASPI32Buffer(void*) { return 0; }
ASPI_EXPORT int FreeASPI32Buffer(void*) { return 0; }
ASPI_EXPORT int TranslateASPI32Address(DWORD*, DWORD*) { return 0; }

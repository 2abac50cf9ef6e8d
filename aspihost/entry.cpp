// The published entry points of WNASPI32 over one process-wide Host, made
// from the layer that the shared object defines, on first use.
#include <memory>
#include <mutex>

#include "aspihost/host.h"
#include "platform/aspi.h"
#include "platform/threads.h"

namespace aspihost {

namespace {

std::mutex instance_lock;

// The layer's Host. Where the layer stays loaded until the process ends
// (platform::keep_layer_loaded), its workers are gone by the time the
// layer's destructors run, and joining them would wait for ever: the Host
// is left as it is then.
struct Instance {
    std::unique_ptr<Host> host;
    bool kept = false;
    ~Instance() {
        if (kept) (void)host.release();
    }
};
Instance instance_ptr;

void fork_prepare() {
    instance_lock.lock();
    if (instance_ptr.host) instance_ptr.host->before_fork();
}
void fork_parent() {
    if (instance_ptr.host) instance_ptr.host->after_fork_parent();
    instance_lock.unlock();
}
void fork_child() {
    if (instance_ptr.host) instance_ptr.host->after_fork_child();
    instance_lock.unlock();
}

Host& instance() {
    std::lock_guard<std::mutex> g(instance_lock);
    if (!instance_ptr.host) {
        static const bool registered = (platform::at_fork(fork_prepare, fork_parent, fork_child), true);
        (void)registered;
        instance_ptr.kept = platform::keep_layer_loaded();
        instance_ptr.host = std::make_unique<Host>(layer);
    }
    return *instance_ptr.host;
}

}  // namespace

void reload() {
    std::lock_guard<std::mutex> g(instance_lock);
    instance_ptr.host.reset();
}

}  // namespace aspihost

ASPI_EXPORT DWORD ASPI_CALL GetASPI32SupportInfo() { return aspihost::instance().support_info(); }

ASPI_EXPORT DWORD ASPI_CALL SendASPI32Command(LPSRB srb) { return aspihost::instance().send(srb); }

// The transport allocates its buffers itself; these are looked up, never called.
ASPI_EXPORT int ASPI_CALL GetASPI32Buffer(void*) { return 0; }
ASPI_EXPORT int ASPI_CALL FreeASPI32Buffer(void*) { return 0; }
ASPI_EXPORT int ASPI_CALL TranslateASPI32Address(DWORD*, DWORD*) { return 0; }

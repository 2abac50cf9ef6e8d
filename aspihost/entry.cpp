// The published entry points of WNASPI32 over one process-wide Host, made
// from the layer that the shared object defines, on first use.
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <mutex>

#include "aspihost/host.h"
#include "platform/aspi.h"

#define ASPI_EXPORT extern "C" __attribute__((visibility("default")))

namespace aspihost {

namespace {

std::mutex instance_lock;
std::unique_ptr<Host> instance_ptr;
int chosen_log = -1;  // ASPILogTo's file, kept across the instance

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
        instance_ptr = std::make_unique<Host>(layer, chosen_log);
    }
    return *instance_ptr;
}

}  // namespace

void reload() {
    std::lock_guard<std::mutex> g(instance_lock);
    instance_ptr.reset();
    if (chosen_log >= 0) ::close(chosen_log);
    chosen_log = -1;
}

// Opened here, before or after the layer starts, so that the answer says
// whether the lines will reach the file; the layer's variable is then never
// read (a program's own option wins over what its environment holds).
bool log_to(const char* path) {
    if (path == nullptr || *path == '\0') {
        errno = EINVAL;
        return false;
    }
    std::lock_guard<std::mutex> g(instance_lock);
    int fd = Log::open_file(layer.name, path);
    if (fd < 0) return false;
    if (instance_ptr) instance_ptr->log_to(fd);
    if (chosen_log >= 0) ::close(chosen_log);
    chosen_log = fd;
    return true;
}

}  // namespace aspihost

ASPI_EXPORT DWORD GetASPI32SupportInfo() { return aspihost::instance().support_info(); }

ASPI_EXPORT DWORD SendASPI32Command(LPSRB srb) { return aspihost::instance().send(srb); }

// Optional, looked up by name by a program that has a log option: the
// command log goes to `path` (appended; created with mode 0644) instead of
// the file the layer's variable names. 1 when the file is open, 0 when it
// is not (the layer has said why on standard error; errno tells it too).
ASPI_EXPORT int ASPILogTo(const char* path) { return aspihost::log_to(path) ? 1 : 0; }

// The transport allocates its buffers itself; these are looked up, never called.
ASPI_EXPORT int GetASPI32Buffer(void*) { return 0; }
ASPI_EXPORT int FreeASPI32Buffer(void*) { return 0; }
ASPI_EXPORT int TranslateASPI32Address(DWORD*, DWORD*) { return 0; }

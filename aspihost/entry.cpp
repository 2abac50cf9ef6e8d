// The published entry points of WNASPI32 over one process-wide Host, made
// from the layer that the shared object defines, on first use.
#include <cerrno>
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
std::shared_ptr<LineFile> chosen_log;  // ASPILogTo's file, kept across the instance

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
        instance_ptr.host = std::make_unique<Host>(layer, chosen_log);
    }
    return *instance_ptr.host;
}

}  // namespace

Target& instance_target() { return instance().target(); }

void reload() {
    std::lock_guard<std::mutex> g(instance_lock);
    instance_ptr.host.reset();
    chosen_log.reset();
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
    std::shared_ptr<LineFile> file = Log::open_file(layer.name, path);
    if (!file) return false;
    if (instance_ptr.host) instance_ptr.host->log_to(file);
    chosen_log = std::move(file);
    return true;
}

// The header names the adapters as the back end answers now, so the layer
// starts here if it has not yet.
bool record_to(const char* path, const char* program) {
    if (path == nullptr || *path == '\0') {
        errno = EINVAL;
        return false;
    }
    std::shared_ptr<LineFile> file = LineFile::open(layer.name, "recording", path, LineFile::Mode::create);
    return file && instance().record_to(std::move(file), program ? program : "");
}

}  // namespace aspihost

ASPI_EXPORT DWORD ASPI_CALL GetASPI32SupportInfo() { return aspihost::instance().support_info(); }

ASPI_EXPORT DWORD ASPI_CALL SendASPI32Command(LPSRB srb) { return aspihost::instance().send(srb); }

// Optional, looked up by name by a program that has a log option: the
// command log goes to `path` (appended; created with mode 0644) instead of
// the file the layer's variable names. 1 when the file is open, 0 when it
// is not (the layer has said why on standard error; errno tells it too).
ASPI_EXPORT int ASPI_CALL ASPILogTo(const char* path) { return aspihost::log_to(path) ? 1 : 0; }

// Optional, looked up by name by a program that records its runs: a
// transcript of every request and its answer goes to the new file `path`,
// its header naming `program` (its name and version). 1 when the file is
// created and the header written, 0 when not (said on standard error).
ASPI_EXPORT int ASPI_CALL ASPIRecordTo(const char* path, const char* program) {
    return aspihost::record_to(path, program) ? 1 : 0;
}

// The transport allocates its buffers itself; these are looked up, never called.
ASPI_EXPORT int ASPI_CALL GetASPI32Buffer(void*) { return 0; }
ASPI_EXPORT int ASPI_CALL FreeASPI32Buffer(void*) { return 0; }
ASPI_EXPORT int ASPI_CALL TranslateASPI32Address(DWORD*, DWORD*) { return 0; }

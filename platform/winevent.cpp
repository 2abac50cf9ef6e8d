#include "platform/winevent.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace {

struct Event {
    std::mutex lock;
    std::condition_variable changed;
    bool manual_reset;
    bool signalled;
};

Event* as_event(HANDLE h) { return static_cast<Event*>(h); }

}  // namespace

HANDLE CreateEventA(void*, BOOL manual_reset, BOOL initial_state, const char*) {
    auto* e = new Event;
    e->manual_reset = manual_reset != 0;
    e->signalled = initial_state != 0;
    return e;
}

BOOL SetEvent(HANDLE event) {
    Event* e = as_event(event);
    if (e == nullptr) return 0;
    // Notified under the lock: a waiter that wakes may close the event at
    // once, so nothing of it may be touched after the unlock.
    std::lock_guard<std::mutex> g(e->lock);
    e->signalled = true;
    if (e->manual_reset)
        e->changed.notify_all();  // a manual-reset event releases every waiter
    else
        e->changed.notify_one();
    return 1;
}

BOOL ResetEvent(HANDLE event) {
    Event* e = as_event(event);
    if (e == nullptr) return 0;
    std::lock_guard<std::mutex> g(e->lock);
    e->signalled = false;
    return 1;
}

std::uint32_t WaitForSingleObject(HANDLE event, std::uint32_t milliseconds) {
    Event* e = as_event(event);
    if (e == nullptr) return WAIT_FAILED;
    std::unique_lock<std::mutex> g(e->lock);
    auto ready = [e] { return e->signalled; };
    if (milliseconds == INFINITE) {
        e->changed.wait(g, ready);
    } else {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
        if (!e->changed.wait_until(g, deadline, ready)) return WAIT_TIMEOUT;
    }
    if (!e->manual_reset) e->signalled = false;
    return WAIT_OBJECT_0;
}

BOOL CloseHandle(HANDLE event) {
    Event* e = as_event(event);
    if (e == nullptr) return 0;
    delete e;
    return 1;
}

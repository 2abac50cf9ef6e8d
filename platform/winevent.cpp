#include "platform/winevent.h"

#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/timescale.h"

namespace {

struct Event {
    std::mutex lock;
    std::condition_variable changed;
    bool manual_reset;
    bool signalled;
};

Event* as_event(HANDLE h) { return static_cast<Event*>(h); }

}  // namespace

namespace platform {

double parse_time_scale(const char* text) {
    if (text == nullptr || *text == '\0') return 1.0;
    char* end = nullptr;
    errno = 0;
    double v = std::strtod(text, &end);
    if (end == text || *end != '\0' || errno == ERANGE) return 1.0;
    if (!std::isfinite(v) || v <= 0.0) return 1.0;
    return v;
}

double time_scale() {
    static const double scale = parse_time_scale(std::getenv("ASPISIM_TIME_SCALE"));
    return scale;
}

std::chrono::microseconds scaled_wait(std::uint32_t milliseconds, double scale) {
    // Computed in double: the product of a 32-bit count and any finite factor
    // is representable, and the clamp happens before the conversion back.
    constexpr double longest_us = static_cast<double>(INFINITE - 1u) * 1000.0;
    double us = static_cast<double>(milliseconds) * scale * 1000.0;
    if (!(us < longest_us)) us = longest_us;
    if (us < 0.0) us = 0.0;
    return std::chrono::microseconds(static_cast<std::int64_t>(std::llround(us)));
}

}  // namespace platform

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
        auto deadline =
            std::chrono::steady_clock::now() + platform::scaled_wait(milliseconds, platform::time_scale());
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

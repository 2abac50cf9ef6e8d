#include "tool/clock.h"

#include <thread>

#include "tool/link.h"

Clock::Duration LayerClock::now() {
    const auto real = std::chrono::steady_clock::now().time_since_epoch();
    return std::chrono::duration_cast<Duration>(std::chrono::duration<double, std::milli>(
        std::chrono::duration<double, std::milli>(real).count() / link_.time_scale()));
}

void LayerClock::sleep(Duration d) {
    std::this_thread::sleep_for(
        std::chrono::duration<double, std::milli>(static_cast<double>(d.count()) * link_.time_scale()));
}

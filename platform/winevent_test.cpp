#include "platform/winevent.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

namespace {

using namespace std::chrono_literals;

struct EventGuard {
    HANDLE h;
    explicit EventGuard(BOOL manual, BOOL initial) : h(CreateEventA(nullptr, manual, initial, nullptr)) {}
    ~EventGuard() { CloseHandle(h); }
};

TEST(Event, SignalledBeforeTheWait) {
    EventGuard manual(1, 0);
    ASSERT_NE(manual.h, nullptr);
    EXPECT_EQ(WaitForSingleObject(manual.h, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(SetEvent(manual.h));
    EXPECT_EQ(WaitForSingleObject(manual.h, 0), WAIT_OBJECT_0);
    // A manual-reset event stays signalled until it is reset.
    EXPECT_EQ(WaitForSingleObject(manual.h, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(manual.h, INFINITE), WAIT_OBJECT_0);
}

TEST(Event, InitialStateAndAutoReset) {
    EventGuard on(0, 1);
    EXPECT_EQ(WaitForSingleObject(on.h, 0), WAIT_OBJECT_0);
    // The successful wait consumed the signal of the auto-reset event.
    EXPECT_EQ(WaitForSingleObject(on.h, 1), WAIT_TIMEOUT);
    EventGuard off(1, 0);
    EXPECT_EQ(WaitForSingleObject(off.h, 1), WAIT_TIMEOUT);
}

TEST(Event, Reset) {
    EventGuard e(1, 1);
    EXPECT_TRUE(ResetEvent(e.h));
    EXPECT_EQ(WaitForSingleObject(e.h, 1), WAIT_TIMEOUT);
    EXPECT_TRUE(SetEvent(e.h));
    EXPECT_TRUE(ResetEvent(e.h));
    EXPECT_EQ(WaitForSingleObject(e.h, 0), WAIT_TIMEOUT);
}

TEST(Event, SignalledDuringTheWaitByAnotherThread) {
    // Order, not time: however late either thread runs on a loaded machine,
    // the waiter wakes only after the signaller set the event.
    EventGuard e(1, 0);
    std::atomic<bool> set{false};
    std::thread t([&] {
        std::this_thread::sleep_for(20ms);  // the waiter is most likely waiting by then
        set = true;
        SetEvent(e.h);
    });
    EXPECT_EQ(WaitForSingleObject(e.h, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(set) << "woke before the event was set";
    t.join();

    EventGuard a(0, 0);
    std::thread t2([&] { SetEvent(a.h); });
    EXPECT_EQ(WaitForSingleObject(a.h, 5000), WAIT_OBJECT_0);
    t2.join();
}

// The completion side signals and the waiting side closes the event at once,
// as the ASPI transport does; the signaller must be done with the event by
// then (an ASan run shows a use after free otherwise).
TEST(Event, CloseRightAfterTheWakeUp) {
    for (int i = 0; i < 200; i++) {
        HANDLE e = CreateEventA(nullptr, 1, 0, nullptr);
        std::thread t([e] { SetEvent(e); });
        EXPECT_EQ(WaitForSingleObject(e, INFINITE), WAIT_OBJECT_0);
        CloseHandle(e);
        t.join();
    }
}

TEST(Event, TimeOutWaitsAtLeastTheLimit) {
    EventGuard e(1, 0);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitForSingleObject(e.h, 30), WAIT_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 25ms);
}

TEST(Event, NullHandles) {
    EXPECT_EQ(WaitForSingleObject(nullptr, 0), WAIT_FAILED);
    EXPECT_FALSE(SetEvent(nullptr));
    EXPECT_FALSE(ResetEvent(nullptr));
    EXPECT_FALSE(CloseHandle(nullptr));
}

#ifndef _WIN32
// The simulator's scale is the simulator's own: an event wait, which the
// program's transport uses for real drives too, never reads it (the
// stand-in once did; Windows' own wait knows nothing of it).
TEST(EventDeathTest, SimulatorTimeScaleLeavesTheWaitAlone) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            setenv("ASPISIM_TIME_SCALE", "0.0001", 1);
            HANDLE e = CreateEventA(nullptr, 1, 0, nullptr);
            auto start = std::chrono::steady_clock::now();
            bool timed_out = WaitForSingleObject(e, 300) == WAIT_TIMEOUT;
            auto took = std::chrono::steady_clock::now() - start;
            CloseHandle(e);
            std::exit(timed_out && took >= 290ms ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}
#endif

}  // namespace

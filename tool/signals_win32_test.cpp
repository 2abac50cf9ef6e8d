// The transfer window's console control handler, called as Windows calls it
// (under Wine no console event reaches a program whose streams are pipes).
#include "tool/signals_win32.h"

#include <gtest/gtest.h>

#include <thread>

#include "tool/signals.h"

namespace {

const char kNotice[] = "qvupdate: firmware transfer in progress, the signal takes effect when it ends\n";

TEST(ControlHandlerDeathTest, HeldInTheWindowAndEndingTheRunAfterIt) {
    // Outside the window the next handler (Windows' own) takes every event.
    for (DWORD event : {CTRL_C_EVENT, CTRL_BREAK_EVENT, CTRL_CLOSE_EVENT})
        EXPECT_FALSE(HoldControlEvent(event)) << event;
    EXPECT_EXIT(
        {
            HoldSignals();
            const bool held = HoldControlEvent(CTRL_C_EVENT) && HoldControlEvent(CTRL_BREAK_EVENT) &&
                              !HoldControlEvent(CTRL_LOGOFF_EVENT);
            if (!held) ExitProcess(2);
            ReleaseSignals();
            ExitProcess(3);  // not reached: the held interrupt ends the run
        },
        ::testing::ExitedWithCode(static_cast<int>(STATUS_CONTROL_C_EXIT)), std::string("^") + kNotice + "$");
}

TEST(ControlHandlerDeathTest, ClosingConsoleWaitsForTheWindow) {
    EXPECT_EXIT(
        {
            HoldSignals();
            bool returned = false;
            std::thread closing([&] { returned = !HoldControlEvent(CTRL_CLOSE_EVENT); });
            Sleep(200);
            if (returned) ExitProcess(2);  // must wait while the transfer runs
            ReleaseSignals();
            ExitProcess(3);
        },
        ::testing::ExitedWithCode(static_cast<int>(STATUS_CONTROL_C_EXIT)), kNotice);
}

TEST(ControlHandler, NothingHappensWithoutAnEvent) {
    HoldSignals();
    HoldSignals();
    ReleaseSignals();
    ReleaseSignals();
    EXPECT_FALSE(HoldControlEvent(CTRL_C_EVENT));
}

}  // namespace

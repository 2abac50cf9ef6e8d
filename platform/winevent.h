// Win32 event objects: Windows' own on Windows; elsewhere stand-ins on
// std::mutex and std::condition_variable, which the program and the
// simulated ASPI layer both link, so that an event created by one is
// signalled by the other.
#pragma once

#ifdef _WIN32
#include <windows.h>
#else

#include <cstdint>

using HANDLE = void*;
using BOOL = int;

enum : std::uint32_t {
    INFINITE = 0xFFFFFFFFu,
    WAIT_OBJECT_0 = 0,
    WAIT_TIMEOUT = 0x102,
    WAIT_FAILED = 0xFFFFFFFFu,
};

// Security attributes and name are accepted and ignored.
HANDLE CreateEventA(void* security, BOOL manual_reset, BOOL initial_state, const char* name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);
// Waits until the event is signalled or `milliseconds` pass (INFINITE: no
// limit). WAIT_OBJECT_0 when signalled, WAIT_TIMEOUT, or WAIT_FAILED for a
// null handle.
std::uint32_t WaitForSingleObject(HANDLE event, std::uint32_t milliseconds);
BOOL CloseHandle(HANDLE event);

#endif

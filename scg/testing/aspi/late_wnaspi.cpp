// A WNASPI32 whose command completions are signalled late: the completion
// status is written at once, the event only 900 ms later, from a thread of
// its own. A transport whose wait runs out in between sees a finished block
// while its event is still in use by ASPI.
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/aspi.h"
#include "platform/winevent.h"

#define LATE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

std::atomic<int> delivered{0};

// Joined before the library goes away, so no thread runs in unmapped code.
struct Signallers {
    std::mutex lock;
    std::vector<std::thread> threads;
    ~Signallers() {
        for (std::thread& t : threads) t.join();
    }
} signallers;

}  // namespace

LATE_EXPORT DWORD GetASPI32SupportInfo() { return (SS_COMP << 8) | 1; }

LATE_EXPORT DWORD SendASPI32Command(LPSRB srb) {
    auto* h = static_cast<SRB_Header*>(srb);
    switch (h->SRB_Cmd) {
    case SC_HA_INQUIRY: {
        auto* s = static_cast<SRB_HAInquiry*>(srb);
        if (s->SRB_HaId != 0) return s->SRB_Status = SS_INVALID_HA;
        s->HA_Count = 1;
        s->HA_SCSI_ID = 7;
        std::memset(s->HA_ManagerId, ' ', sizeof s->HA_ManagerId);
        std::memset(s->HA_Identifier, ' ', sizeof s->HA_Identifier);
        return s->SRB_Status = SS_COMP;
    }
    case SC_EXEC_SCSI_CMD: {
        auto* s = static_cast<SRB_ExecSCSICmd*>(srb);
        s->SRB_Status = SS_PENDING;
        HANDLE event = s->SRB_PostProc;
        std::lock_guard<std::mutex> g(signallers.lock);
        signallers.threads.emplace_back([s, event] {
            s->SRB_HaStat = HASTAT_OK;
            s->SRB_TargStat = 0;
            *static_cast<volatile BYTE*>(&s->SRB_Status) = SS_COMP;
            std::this_thread::sleep_for(std::chrono::milliseconds(900));
            // Counted first: the waiter may read the count the moment it wakes.
            delivered++;
            SetEvent(event);
        });
        return SS_PENDING;
    }
    default: return h->SRB_Status = SS_INVALID_CMD;
    }
}

// Signals delivered so far.
LATE_EXPORT int late_signals_delivered() { return delivered.load(); }

// As a simulated layer may: the transport's one-second wait becomes 300 ms,
// time enough for the status to be written on a loaded machine, and over
// long before the signal comes.
LATE_EXPORT double aspisim_time_scale() { return 0.3; }

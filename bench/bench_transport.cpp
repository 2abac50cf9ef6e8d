// The cost of one command: TEST UNIT READY through scg_cmd, the ASPI
// transport and the simulated ASPI layer, against the simulated layer's own
// completion path alone (SendASPI32Command and the wait for its event, no
// transport). Both run in one process on the same WNASPI32, so the ratio
// says what the library and the transport add per command: it should stay at
// or below 2, i.e. add no more than the layer underneath costs by itself.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "aspisim/testing/simenv.h"
#include "platform/aspi.h"
#include "platform/winevent.h"
#include "scg/scg.h"
#include "support/utils.h"

namespace {

constexpr int kHa = 0, kTarget = 2;

// One drive, no latency, no command log. The drive holds a disc, so TEST
// UNIT READY answers GOOD and no error report is composed.
const char kBus[] =
    "adapters 1\n"
    "latency 0\n"
    "device 0 2 type=5 vendor=\"DRAVLIN \" product=\"CD-R   QV-G567L \" revision=\"1.00\" medium=yes\n";

std::string WriteBus() {
    char path[] = "/tmp/qvbenchXXXXXX";
    int fd = mkstemp(path);
    if (fd < 0 || write(fd, kBus, sizeof kBus - 1) != static_cast<ssize_t>(sizeof kBus - 1)) std::abort();
    close(fd);
    return path;
}

void BM_scg_cmd_TestUnitReady(benchmark::State& state) {
    char errs[80] = "";
    SCSI* scgp = scg_open("0,2,0", errs, sizeof errs, 0, 0);
    if (scgp == nullptr) {
        state.SkipWithError(errs);
        return;
    }
    scg_settimeout(scgp, 300);
    for (auto _ : state) {
        // What the drive command layer does for test_unit_ready.
        struct scg_cmd* sp = scgp->cmdrec;
        sup::fillbytes(sp, sizeof *sp, 0);
        sp->flags = SCGF_DISCONNECT;
        sp->cdb_len = 6;
        sp->sense_len = 18;
        scgp->cmd_name = "test unit ready";
        if (scg_cmd(scgp) != 0) {
            state.SkipWithError("TEST UNIT READY failed");
            break;
        }
    }
}
BENCHMARK(BM_scg_cmd_TestUnitReady);

void BM_aspi_TestUnitReady(benchmark::State& state) {
    void* lib = dlopen("WNASPI32", RTLD_NOW);
    auto info = lib ? reinterpret_cast<GetASPI32SupportInfo_t>(dlsym(lib, "GetASPI32SupportInfo")) : nullptr;
    auto send = lib ? reinterpret_cast<SendASPI32Command_t>(dlsym(lib, "SendASPI32Command")) : nullptr;
    if (info == nullptr || send == nullptr || (info() >> 8 & 0xFF) != SS_COMP) {
        state.SkipWithError("cannot load WNASPI32");
        return;
    }
    HANDLE event = CreateEventA(nullptr, 1, 0, nullptr);
    for (auto _ : state) {
        SRB_ExecSCSICmd s;
        sup::fillbytes(&s, sizeof s, 0);
        s.SRB_Cmd = SC_EXEC_SCSI_CMD;
        s.SRB_HaId = kHa;
        s.SRB_Target = kTarget;
        s.SRB_Flags = SRB_EVENT_NOTIFY;
        s.SRB_SenseLen = SENSE_LEN;
        s.SRB_CDBLen = 6;
        s.SRB_PostProc = event;
        ResetEvent(event);
        if (send(&s) == SS_PENDING) WaitForSingleObject(event, INFINITE);
        if (*static_cast<volatile BYTE*>(&s.SRB_Status) != SS_COMP) {
            state.SkipWithError("TEST UNIT READY failed");
            break;
        }
    }
    CloseHandle(event);
    dlclose(lib);
}
BENCHMARK(BM_aspi_TestUnitReady);

// Prints as usual (in colour on a terminal only) and keeps the time per
// iteration of each benchmark: the median of its repetitions, or its one
// run.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    RatioReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_None) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred) continue;
            const std::string name = run.run_name.str();
            if (run.run_type == Run::RT_Iteration)
                single_[name] = run.GetAdjustedRealTime();
            else if (run.aggregate_name == "median")
                median_[name] = run.GetAdjustedRealTime();
        }
    }
    double Time(const std::string& name) const {
        if (auto it = median_.find(name); it != median_.end()) return it->second;
        auto it = single_.find(name);
        return it == single_.end() ? 0 : it->second;
    }

private:
    std::map<std::string, double> single_, median_;
};

}  // namespace

int main(int argc, char** argv) {
    // The simulator reads its environment when it is loaded, before the
    // first benchmark runs: the bus alone, nothing a shell left.
    const std::string bus = WriteBus();
    const simtest::SimEnvironment env{{"ASPISIM_BUS", bus}};
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    unlink(bus.c_str());

    const double with = reporter.Time("BM_scg_cmd_TestUnitReady");
    const double alone = reporter.Time("BM_aspi_TestUnitReady");
    if (with > 0 && alone > 0)
        std::printf("scg_cmd + ASPI transport / ASPI layer alone: %.2f (at most 2)\n", with / alone);
    return 0;
}

// The support library against its C library counterparts, in the same run:
// compare the pairs as ratios, not as absolute times.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <vector>

#include "support/printf.h"
#include "support/utils.h"

namespace {

// The messages the program prints most: error reports, sense dumps,
// progress lines and listings.
const char kProg[] = "/usr/local/bin/qvupdate";
const char kErr[] = "Input/output error";
const char kModel[] = "QV-G253K";
const unsigned char kSense[18] = {0x70, 0, 0x02, 0, 0, 0, 0, 0x0a, 0, 0, 0, 0, 0x3a, 0, 0, 0, 0, 0};

void BM_zt_snprintf_mix(benchmark::State& state) {
    char buf[256];
    for (auto _ : state) {
        sup::zt_snprintf(buf, sizeof buf, "%s: scsi sendcmd: %s\n", kProg, kErr);
        benchmark::DoNotOptimize(buf);
        for (unsigned char b : kSense) {
            sup::zt_snprintf(buf, sizeof buf, " %02X", b);
            benchmark::DoNotOptimize(buf);
        }
        sup::zt_snprintf(buf, sizeof buf, "Upgrade %s (HA:%d ID:%d) in progress...", kModel, 1, 5);
        benchmark::DoNotOptimize(buf);
        sup::zt_snprintf(buf, sizeof buf, "%5d", 32768);
        benchmark::DoNotOptimize(buf);
        sup::zt_snprintf(buf, sizeof buf, "%-10s|", kModel);
        benchmark::DoNotOptimize(buf);
    }
}
BENCHMARK(BM_zt_snprintf_mix);

void BM_snprintf_mix(benchmark::State& state) {
    char buf[256];
    for (auto _ : state) {
        std::snprintf(buf, sizeof buf, "%s: scsi sendcmd: %s\n", kProg, kErr);
        benchmark::DoNotOptimize(buf);
        for (unsigned char b : kSense) {
            std::snprintf(buf, sizeof buf, " %02X", b);
            benchmark::DoNotOptimize(buf);
        }
        std::snprintf(buf, sizeof buf, "Upgrade %s (HA:%d ID:%d) in progress...", kModel, 1, 5);
        benchmark::DoNotOptimize(buf);
        std::snprintf(buf, sizeof buf, "%5d", 32768);
        benchmark::DoNotOptimize(buf);
        std::snprintf(buf, sizeof buf, "%-10s|", kModel);
        benchmark::DoNotOptimize(buf);
    }
}
BENCHMARK(BM_snprintf_mix);

constexpr int kBulk = 32 * 1024;

// 64-byte aligned storage: offset 0 is aligned for every store width, 16 is
// what malloc guarantees, 1 is aligned for none.
struct Area {
    explicit Area(unsigned char v) : p(static_cast<unsigned char*>(std::aligned_alloc(64, kBulk + 128))) {
        std::memset(p, v, kBulk + 128);
    }
    ~Area() { std::free(p); }
    unsigned char* at(long offset) { return p + 64 + offset; }
    unsigned char* p;
};

// Arg: offset of the destination from a 64-byte boundary.
void BM_fillbytes(benchmark::State& state) {
    Area mem(0);
    unsigned char* to = mem.at(state.range(0));
    for (auto _ : state) {
        sup::fillbytes(to, kBulk, 0x5a);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * kBulk);
}
BENCHMARK(BM_fillbytes)->Arg(0)->Arg(1);

void BM_memset(benchmark::State& state) {
    Area mem(0);
    unsigned char* to = mem.at(state.range(0));
    for (auto _ : state) {
        std::memset(to, 0x5a, kBulk);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * kBulk);
}
BENCHMARK(BM_memset)->Arg(0)->Arg(1);

void BM_movebytes(benchmark::State& state) {
    Area src(1), dst(0);
    const unsigned char* from = src.at(0);
    unsigned char* to = dst.at(state.range(0));
    for (auto _ : state) {
        sup::movebytes(from, to, kBulk);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * kBulk);
}
BENCHMARK(BM_movebytes)->Arg(0)->Arg(16)->Arg(1);

void BM_memmove(benchmark::State& state) {
    Area src(1), dst(0);
    const unsigned char* from = src.at(0);
    unsigned char* to = dst.at(state.range(0));
    for (auto _ : state) {
        std::memmove(to, from, kBulk);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * kBulk);
}
BENCHMARK(BM_memmove)->Arg(0)->Arg(16)->Arg(1);

// Short copies, as for sense data, command blocks and INQUIRY fields, at
// every alignment of source and destination. Args: count, offsets of the
// source and the destination from a 64-byte boundary. Both functions are
// timed in the same benchmark, in turns of kTurn calls one after the other,
// and compared turn by turn: whatever else the machine does then falls on
// both alike, and a turn that lost the processor to another program moves
// the medians little. The time is the mean of a turn of movebytes; the
// counters are the median time of one call of each and speed_vs_memmove,
// the median of memmove's time over movebytes' (1: as fast, more: faster).
// The count is hidden from the compiler, so that memmove is called rather
// than expanded in place.
constexpr int kTurn = 256;

double median(std::vector<double>& v) {
    std::nth_element(v.begin(), v.begin() + static_cast<long>(v.size() / 2), v.end());
    return v[v.size() / 2];
}

void BM_movebytes_short(benchmark::State& state) {
    using Clock = std::chrono::steady_clock;
    Area src(1), dst(0);
    const unsigned char* from = src.at(state.range(1));
    unsigned char* to = dst.at(state.range(2));
    int n = static_cast<int>(state.range(0));
    auto len = static_cast<std::size_t>(n);
    std::vector<double> ours, theirs, speed;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        for (int i = 0; i < kTurn; i++) {
            benchmark::DoNotOptimize(n);
            sup::movebytes(from, to, n);
            benchmark::ClobberMemory();
        }
        const auto t1 = Clock::now();
        for (int i = 0; i < kTurn; i++) {
            benchmark::DoNotOptimize(len);
            std::memmove(to, from, len);
            benchmark::ClobberMemory();
        }
        const auto t2 = Clock::now();
        const std::chrono::duration<double, std::nano> a = t1 - t0, b = t2 - t1;
        ours.push_back(a.count() / kTurn);
        theirs.push_back(b.count() / kTurn);
        speed.push_back(b / a);
        state.SetIterationTime(a.count() * 1e-9);
    }
    state.counters["movebytes_ns"] = median(ours);
    state.counters["memmove_ns"] = median(theirs);
    state.counters["speed_vs_memmove"] = median(speed);
}
BENCHMARK(BM_movebytes_short)
    ->ArgsProduct({{8, 24, 100}, benchmark::CreateDenseRange(0, 7, 1), benchmark::CreateDenseRange(0, 7, 1)})
    ->UseManualTime()
    ->MinTime(0.05);

}  // namespace

BENCHMARK_MAIN();

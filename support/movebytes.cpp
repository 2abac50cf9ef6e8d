// Overlap-safe byte move.
//
// Every access stays inside the two areas: wide loads and stores that would
// reach past an end are replaced by ones that overlap their neighbours, or by
// masked ones that leave the bytes beyond the end alone, never by ones that
// run over. Overlap is safe because each piece is loaded before any store can
// reach the source bytes it covers (see the directions below).
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <vector>

#if defined(__x86_64__)
#include <cpuid.h>
#endif
#if defined(__SANITIZE_ADDRESS__)
#define SUP_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SUP_ASAN 1
#endif
#endif

#include "support/bulk.h"
#include "support/internal.h"
#include "support/utils.h"

// Masked moves, where the instruction set is chosen at load time. Not in the
// sanitizer builds: their checks see plain loads and stores only.
#if SUP_BULK_DISPATCH && !defined(SUP_ASAN)
#define SUP_MASKED_MOVES 1
#include <immintrin.h>
#endif

namespace sup {
namespace {

typedef unsigned char Bytes16 __attribute__((vector_size(16)));
typedef unsigned char Bytes32 __attribute__((vector_size(32)));

// Values go by reference only: by value a vector would change the calling
// convention between the versions.
template <class T>
inline void load(T& v, const unsigned char* p) {
    std::memcpy(&v, p, sizeof v);
}

template <class T>
inline void store(unsigned char* p, const T& v) {
    std::memcpy(p, &v, sizeof v);
}

// The first and the last sizeof(T) bytes, both loaded before either store:
// together they cover any count from sizeof(T) to twice that.
template <class T>
inline void move_ends(const unsigned char* from, unsigned char* to, unsigned n) {
    T head, tail;
    load(head, from);
    load(tail, from + n - sizeof(T));
    store(to, head);
    store(to + n - sizeof(T), tail);
}

// The first and the last two pieces of V, all loaded before any is stored:
// any count from twice sizeof(V) to four times.
template <class V>
inline void move_ends2(const unsigned char* from, unsigned char* to, unsigned n) {
    constexpr unsigned s = sizeof(V);
    V a, b, c, d;
    load(a, from);
    load(b, from + s);
    load(c, from + n - 2 * s);
    load(d, from + n - s);
    store(to, a);
    store(to + s, b);
    store(to + n - 2 * s, c);
    store(to + n - s, d);
}

// The first and the last 64 bytes in 16-byte pieces likewise: 64 to 128.
inline void move_ends4x16(const unsigned char* from, unsigned char* to, unsigned n) {
    const unsigned char* const from_end = from + n;
    unsigned char* const to_end = to + n;
    Bytes16 a, b, c, d, e, f, g, h;
    load(a, from);
    load(b, from + 16);
    load(c, from + 32);
    load(d, from + 48);
    load(e, from_end - 64);
    load(f, from_end - 48);
    load(g, from_end - 32);
    load(h, from_end - 16);
    store(to, a);
    store(to + 16, b);
    store(to + 32, c);
    store(to + 48, d);
    store(to_end - 64, e);
    store(to_end - 48, f);
    store(to_end - 32, g);
    store(to_end - 16, h);
}

// Up to 128 bytes: the command blocks, sense data and INQUIRY fields, which
// memmove copies in a few nanoseconds. Everything is loaded before anything
// is stored, so the direction does not matter; no loop and no call. W is the
// widest vector of the instruction set the code is built for: 16 bytes, or
// 32 (a 32-byte vector where the processor has none would go through the
// stack).
constexpr unsigned kShortMax = 128;

template <class W>
inline void move_short(const unsigned char* from, unsigned char* to, unsigned n) {
    if (n >= 16) {
        if (n <= 32)
            move_ends<Bytes16>(from, to, n);
        else if constexpr (sizeof(W) == 32)
            n <= 64 ? move_ends<Bytes32>(from, to, n) : move_ends2<Bytes32>(from, to, n);
        else
            n <= 64 ? move_ends2<Bytes16>(from, to, n) : move_ends4x16(from, to, n);
    } else if (n >= 8) {
        move_ends<std::uint64_t>(from, to, n);
    } else if (n >= 4) {
        move_ends<std::uint32_t>(from, to, n);
    } else if (n >= 2) {
        move_ends<std::uint16_t>(from, to, n);
    } else {
        *to = *from;
    }
}

// Sixty-four bytes handled as one value: one register where the processor has
// 512-bit registers, two or four elsewhere.
typedef std::uint32_t Words16 __attribute__((vector_size(64)));

// More than 128 bytes. The first and the last 64 bytes are loaded first and
// stored last; between them the passes store whole aligned 64-byte blocks of
// the destination from unaligned loads of the source.
//
// Forward (destination below the source, or apart): a store reaches only
// source bytes below the ones the pass has loaded. Backward (destination
// above): only bytes above them. Either way no later load sees a changed byte.
SUP_MOVE_CLONES
void move_long(const unsigned char* from, unsigned char* to, unsigned n, bool backward) {
    Words16 head, tail;
    load(head, from);
    load(tail, from + n - 64);
    if (backward) {
        std::size_t i = n - (reinterpret_cast<std::uintptr_t>(to + n) & 63);
#pragma GCC unroll 4
        while (i > 64) {
            i -= 64;
            Words16 w;
            load(w, from + i);
            store(to + i, w);
        }
    } else {
        std::size_t i = -reinterpret_cast<std::uintptr_t>(to) & 63;
#pragma GCC unroll 4
        for (; i < n - 64; i += 64) {
            Words16 w;
            load(w, from + i);
            store(to + i, w);
        }
    }
    store(to + n - 64, tail);
    store(to, head);
}

// Whether the destination starts inside the source: only then must the copy
// run backwards.
inline bool overlaps_above(const unsigned char* from, unsigned char* to, unsigned n) {
    const auto f = reinterpret_cast<std::uintptr_t>(from);
    const auto t = reinterpret_cast<std::uintptr_t>(to);
    return f < t && t - f < n;
}

// Long copies between areas apart go to the processor's own string move where
// it announces a fast one (ERMS): measured on AMD EPYC, it moves a 32 KiB block
// at twice the rate of the vector passes, as the C library's memmove does. The
// sanitizer builds keep the passes, so that every access stays checked.
#if defined(__x86_64__) && !defined(SUP_ASAN)
constexpr unsigned kStringMoveMin = 2048;

inline bool apart(const unsigned char* from, unsigned char* to, unsigned n) {
    const auto f = reinterpret_cast<std::uintptr_t>(from);
    const auto t = reinterpret_cast<std::uintptr_t>(to);
    return f < t ? t - f >= n : f - t >= n;
}

bool fast_string_move() {
    static const bool erms = [] {
        unsigned a = 0, b = 0, c = 0, d = 0;
        return __get_cpuid_count(7, 0, &a, &b, &c, &d) != 0 && (b & (1u << 9)) != 0;
    }();
    return erms;
}

// The bytes before the destination's next 64-byte boundary go first, so that
// the string move writes whole cache lines.
bool try_string_move(const unsigned char* from, unsigned char* to, unsigned n) {
    if (n < kStringMoveMin || !apart(from, to, n) || !fast_string_move()) return false;
    const unsigned skip = -reinterpret_cast<std::uintptr_t>(to) & 63;
    if (skip != 0) move_short<Bytes16>(from, to, skip);
    from += skip;
    to += skip;
    std::size_t count = n - skip;
    __asm__ volatile("rep movsb" : "+D"(to), "+S"(from), "+c"(count) : : "memory");
    return true;
}
#else
bool try_string_move(const unsigned char*, unsigned char*, unsigned) { return false; }
#endif

// Counts of nothing and the long copies: out of line, and reached by a
// jump, so that the short copies need no stack frame and save no register.
[[gnu::noinline]] unsigned char* move_other(const unsigned char* from, unsigned char* to, int cnt) {
    if (cnt <= 0) return to;
    const auto n = static_cast<unsigned>(cnt);
    if (!try_string_move(from, to, n)) move_long(from, to, n, overlaps_above(from, to, n));
    return to + n;
}

// One comparison sends both the counts of nothing and the long copies on.
template <class W>
inline void* move_bytes(const void* fromv, void* tov, int cnt) {
    const auto* from = static_cast<const unsigned char*>(fromv);
    auto* to = static_cast<unsigned char*>(tov);
    const auto n = static_cast<unsigned>(cnt);
    if (n - 1 >= kShortMax) return move_other(from, to, cnt);
    move_short<W>(from, to, n);
    return to + n;
}

#if SUP_BULK_DISPATCH
using MoveFunc = void* (*)(const void*, void*, int);

void* movebytes_sse2(const void* from, void* to, int cnt) { return move_bytes<Bytes16>(from, to, cnt); }

[[gnu::target("avx2")]] void* movebytes_avx2(const void* from, void* to, int cnt) {
    return move_bytes<Bytes32>(from, to, cnt);
}

#if SUP_MASKED_MOVES
// Up to 64 bytes in one masked load and store (the bytes beyond the count are
// neither read nor written, and a masked-out byte cannot fault), up to 128 in
// two overlapping pieces: one comparison besides the one that sends the long
// copies on. On a machine shared with other programs (measured on AMD EPYC
// under a hypervisor) branches cost the most when the load is high: there the
// branch tree above went down to 0.75 of memmove's speed at 8 and 100 bytes,
// this to 0.85.
[[gnu::target("avx512bw,bmi2")]] void* movebytes_avx512bw(const void* fromv, void* tov, int cnt) {
    const auto* from = static_cast<const unsigned char*>(fromv);
    auto* to = static_cast<unsigned char*>(tov);
    const auto n = static_cast<unsigned>(cnt);
    if (n - 1 >= kShortMax) return move_other(from, to, cnt);
    if (n <= 64) {
        const __mmask64 m = _bzhi_u64(~0ull, n);
        _mm512_mask_storeu_epi8(to, m, _mm512_maskz_loadu_epi8(m, from));
    } else {
        const __m512i head = _mm512_loadu_si512(from);
        const __m512i tail = _mm512_loadu_si512(from + n - 64);
        _mm512_storeu_si512(to, head);
        _mm512_storeu_si512(to + n - 64, tail);
    }
    return to + n;
}
#endif

}  // namespace
}  // namespace sup

// Chosen once, when the program is loaded, as target_clones would choose; the
// short copies then pay one jump, as memmove does. External but hidden: clang
// looks a resolver up by a symbol name that a static function does not keep.
// Never instrumented: it runs before the sanitizers' runtime has started.
extern "C" {
__attribute__((visibility("hidden"), no_sanitize("address", "undefined"))) sup::MoveFunc
sup_resolve_movebytes() {
    __builtin_cpu_init();
#if SUP_MASKED_MOVES
    if (__builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("bmi2")) return sup::movebytes_avx512bw;
#endif
    if (__builtin_cpu_supports("avx2")) return sup::movebytes_avx2;
    return sup::movebytes_sse2;
}
}

namespace sup {

void* movebytes(const void* from, void* to, int cnt) __attribute__((ifunc("sup_resolve_movebytes")));

namespace detail {

// A processor runs the version the resolver chose and every one after it.
std::vector<void* (*)(const void*, void*, int)> move_versions() {
    const MoveFunc all[] = {
#if SUP_MASKED_MOVES
        movebytes_avx512bw,
#endif
        movebytes_avx2,
        movebytes_sse2,
    };
    const MoveFunc* chosen = std::find(std::begin(all), std::end(all), sup_resolve_movebytes());
    return {chosen, std::end(all)};
}

}  // namespace detail
}  // namespace sup
#else
}  // namespace

void* movebytes(const void* from, void* to, int cnt) { return move_bytes<Bytes16>(from, to, cnt); }

std::vector<void* (*)(const void*, void*, int)> detail::move_versions() { return {movebytes}; }

}  // namespace sup
#endif

// Code generation for the word passes of fillbytes and movebytes; internal to
// the support library.
#pragma once

// The passes are built twice where the toolchain can pick at load time: once
// for any x86-64, once for processors with 256-bit stores (the move's 64-byte
// passes a third time, for 512-bit ones). The algorithm is the same; only the
// width of the stores that carry the words differs.
#if defined(__x86_64__) && defined(__ELF__) && \
    (defined(__clang__) ? __clang_major__ >= 14 : defined(__GNUC__) && __GNUC__ >= 6)
#define SUP_BULK_CLONES __attribute__((target_clones("avx2", "default")))
#define SUP_MOVE_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
// Versions of other shapes, chosen by a resolver of the library's own.
#define SUP_BULK_DISPATCH 1
#else
#define SUP_BULK_CLONES
#define SUP_MOVE_CLONES
#define SUP_BULK_DISPATCH 0
#endif

#include <cstdint>
#include <cstring>

namespace sup::detail {

// Eight 32-bit words handled as one value: one register where the processor
// has 256-bit registers, two or four elsewhere. Moved in and out with memcpy,
// so no alignment or aliasing assumption is made about the caller's bytes.
typedef std::uint32_t Words8 __attribute__((vector_size(32)));

// Vectors go by reference only: by value they would change the calling
// convention between the clones.
inline void load8(Words8& v, const unsigned char* p) { std::memcpy(&v, p, sizeof v); }
inline void store8(unsigned char* p, const Words8& v) { std::memcpy(p, &v, sizeof v); }

}  // namespace sup::detail

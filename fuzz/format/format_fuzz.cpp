// The engine through zt_snprintf, with a format and arguments from the fuzzer.
//
// Input: one byte of destination size (0..255, or 256..511 when the second
// byte is odd), the format up to a NUL, a nested format up to a NUL, then
// argument records (a kind byte and its payload). The destination is a heap
// block of exactly the size, so AddressSanitizer sees any byte outside it.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "support/format.h"
#include "support/printf.h"

namespace {

class Reader {
public:
    Reader(const std::uint8_t* d, std::size_t n) : d_(d), n_(n) {}
    bool empty() const { return pos_ >= n_; }
    std::uint8_t byte() { return pos_ < n_ ? d_[pos_++] : 0; }
    std::uint64_t bytes(int k) {
        std::uint64_t v = 0;
        for (int i = 0; i < k; i++) v = v << 8 | byte();
        return v;
    }
    std::string text() {
        std::string s;
        while (pos_ < n_ && d_[pos_] != 0) s.push_back(static_cast<char>(d_[pos_++]));
        pos_++;
        return s;
    }

private:
    const std::uint8_t* d_;
    std::size_t n_;
    std::size_t pos_ = 0;
};

void count_only(int, void* arg) { ++*static_cast<long long*>(arg); }

// Formats whose output alone would take seconds are of no interest: a width
// or precision can only be large through a long digit run or a '*' argument
// (a pointer read as a '*' width is a huge number too).
bool too_slow(const std::string& fmt, bool has_big_int) {
    int run = 0;
    for (char c : fmt) {
        run = c >= '0' && c <= '9' ? run + 1 : 0;
        if (run > 3) return true;
    }
    return has_big_int && fmt.find('*') != std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Reader in(data, size);
    int dsize = in.byte();
    if (in.byte() & 1) dsize += 256;
    const std::string fmt = in.text();
    const std::string nested_fmt = in.text();

    std::vector<std::string> strings;
    strings.reserve(16);
    int targets[16] = {};
    std::vector<sup::Arg> args;
    args.reserve(32);
    sup::Nested nested{nested_fmt.c_str(), {}};
    bool has_big_int = false;

    while (!in.empty() && args.size() < 32) {
        const std::uint8_t kind = in.byte();
        switch (kind % 9) {
        case 0: {
            const auto v = static_cast<std::int16_t>(in.bytes(2));
            has_big_int |= v > 1000 || v < -1000;
            args.push_back(sup::capture(v));
            break;
        }
        case 1: {
            const auto v = static_cast<std::int64_t>(in.bytes(8));
            has_big_int |= v > 1000 || v < -1000;
            args.push_back(kind & 0x80 ? sup::capture(static_cast<std::uint64_t>(v)) : sup::capture(v));
            break;
        }
        case 2: {
            double d;
            const std::uint64_t bits = in.bytes(8);
            std::memcpy(&d, &bits, sizeof d);
            args.push_back(sup::capture(d));
            break;
        }
        case 3:
            has_big_int = true;
            if (strings.size() < 16) {
                strings.push_back(in.text());
                args.push_back(sup::capture(strings.back().c_str()));
            }
            break;
        case 4: args.push_back(sup::capture(static_cast<const char*>(nullptr))); break;
        case 5:
            has_big_int = true;
            args.push_back(sup::capture(&targets[kind % 16]));
            break;
        case 6:
            has_big_int = true;
            args.push_back(sup::capture(static_cast<const void*>(data + kind)));
            break;
        case 7:
            has_big_int = true;
            args.push_back(sup::capture(nested));
            break;
        default: args.push_back(sup::Arg{}); break;
        }
    }
    if (too_slow(fmt, has_big_int) || too_slow(nested_fmt, has_big_int)) return 0;
    // The nested format sees the whole list, itself included: the engine
    // must stop a %r chain that never ends.
    const sup::ArgList list(args.data(), args.size());
    nested.args = list;

    long long counted = 0;
    const int count = sup::format(count_only, &counted, fmt.c_str(), list);

    char* dest = static_cast<char*>(std::malloc(dsize > 0 ? static_cast<std::size_t>(dsize) : 1));
    const int r = sup::zt_vsnprintf(dest, dsize, fmt.c_str(), list);
    if (dsize == 0 ? r != -1 : r != count) std::abort();
    if (count != static_cast<int>(counted)) std::abort();
    if (dsize > 0) {
        const std::size_t stored = std::strlen(dest);
        if (stored >= static_cast<std::size_t>(dsize)) std::abort();
    }
    std::free(dest);

    // The digit texts on their own, with the fuzzer's width and digit count.
    if (!args.empty() && args[0].kind == sup::Arg::kDouble && args.size() > 1 &&
        args[1].kind == sup::Arg::kInt) {
        char* buf = static_cast<char*>(std::malloc(sup::FCONV_BUFSIZE));
        const int w = static_cast<int>(args[1].i);
        const int n = static_cast<int>(args[1].i >> 32);
        if (sup::ftoes(buf, args[0].d, w, n) >= sup::FCONV_BUFSIZE ||
            sup::ftofs(buf, args[0].d, w, n) >= sup::FCONV_BUFSIZE)
            std::abort();
        std::free(buf);
    }
    return 0;
}

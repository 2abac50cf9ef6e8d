// Image identification and checksum (GetUpgradeInfo, isValidUpgradeFile,
// isCompleteUpgradeFile) on fuzzer-made image files.
//
// The fields the check looks at lie up to 512 KiB into a file, too far for
// a fuzzer that mutates every byte of its input. So an input describes a
// sparse file, in records of
//
//     anchor (1 byte) | shift (1 byte, signed) | length (1 byte) | bytes
//
// each putting its bytes at anchors[anchor % count] + shift: the offsets the
// tables name (identity fields, checksum ranges and stored sums, transfer
// lengths) and 0. The file is zero elsewhere and ends with the last record
// (a record of length 0 just sets the end). A short last record takes the
// bytes that are left.
//
// Built twice: fuzz_imagecheck checks the image as the program does;
// fuzz_imagecheck_anysum compiles the image check with QV_FUZZ_ANY_CHECKSUM,
// which accepts any stored sum, so that the fuzzer gets past the sum into
// the length and identity logic behind it.
//
// The file lives in memory (memfd) and is read through /proc/self/fd, so it
// always opens: the checks end the process on a file they cannot open.
// `buffer` is a heap block of the smallest size the session accepts, so
// AddressSanitizer sees any byte a check reads into it beyond that.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tool/qvupgrade.h"

namespace {

constexpr std::size_t kLeastBuffer = 32768;

#ifdef QV_FUZZ_ANY_CHECKSUM
constexpr bool kAnySum = true;
#else
constexpr bool kAnySum = false;
#endif

std::vector<long> Anchors() {
    std::vector<long> at = {0};
    for (int i = 0; i < num_identity_rows; i++) {
        const IdentityRow& id = identity_rows[i];
        at.push_back(id.offset);
        if (const ChecksumRow* c = checksum_row(id.type)) {
            at.push_back(c->start);
            at.push_back(c->stored_at);
        }
        if (const TransferPlan* p = transfer_plan(id.type))
            at.push_back(static_cast<long>(p->pieces) * p->piece_size);
    }
    std::sort(at.begin(), at.end());
    at.erase(std::unique(at.begin(), at.end()), at.end());
    return at;
}

struct Segment {
    long at;
    const std::uint8_t* bytes;
    std::size_t length;
};

std::vector<Segment> Parse(const std::uint8_t* data, std::size_t size, const std::vector<long>& anchors) {
    std::vector<Segment> segments;
    std::size_t i = 0;
    while (i + 3 <= size) {
        long at = anchors[data[i] % anchors.size()] + static_cast<std::int8_t>(data[i + 1]);
        std::size_t length = std::min<std::size_t>(data[i + 2], size - i - 3);
        if (at < 0) at = 0;
        segments.push_back({at, data + i + 3, length});
        i += 3 + length;
    }
    return segments;
}

[[noreturn]] void Fail() { std::abort(); }

// The type whose identity row the file holds first, or -1: what the
// identification must find.
int ExpectedType(const std::vector<std::uint8_t>& file) {
    for (int i = 0; i < num_identity_rows; i++) {
        const IdentityRow& id = identity_rows[i];
        auto end = static_cast<std::size_t>(id.offset + id.length);
        if (end <= file.size() &&
            std::memcmp(file.data() + id.offset, id.text, static_cast<std::size_t>(id.length)) == 0)
            return id.type;
    }
    return -1;
}

// The 16-bit sum of file[from, to). Only the bytes the records wrote can be
// other than zero, so it adds just those: a loop over 512 KiB of zeros
// under the fuzzer's comparison tracing would cost more than the check
// under test.
std::uint16_t SparseSum(const std::vector<std::uint8_t>& file, std::vector<Segment> segments, long from,
                        long to) {
    std::sort(segments.begin(), segments.end(), [](const Segment& a, const Segment& b) { return a.at < b.at; });
    std::uint16_t sum = 0;
    long done = from;  // everything below is added
    for (const Segment& s : segments) {
        long begin = std::max(s.at, done);
        long end = std::min(s.at + static_cast<long>(s.length), to);
        for (long i = begin; i < end; i++) sum = static_cast<std::uint16_t>(sum + file[static_cast<std::size_t>(i)]);
        done = std::max(done, end);
    }
    return sum;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::vector<long> anchors = Anchors();
    static const int fd = memfd_create("image", 0);
    static const std::string path = "/proc/self/fd/" + std::to_string(fd);
    static std::vector<std::uint8_t> io(kLeastBuffer);
    if (fd < 0) Fail();
    buffer = io.data();

    std::vector<Segment> segments = Parse(data, size, anchors);
    std::size_t length = 0;
    for (const Segment& s : segments) length = std::max(length, static_cast<std::size_t>(s.at) + s.length);
    std::vector<std::uint8_t> file(length, 0);
    if (ftruncate(fd, 0) != 0 || ftruncate(fd, static_cast<off_t>(length)) != 0) Fail();
    for (const Segment& s : segments) {
        if (s.length == 0) continue;
        std::memcpy(file.data() + s.at, s.bytes, s.length);
        if (pwrite(fd, s.bytes, s.length, s.at) != static_cast<ssize_t>(s.length)) Fail();
    }

    const int type = GetUpgradeInfo(path.c_str());
    if (type != ExpectedType(file)) Fail();

    // Any type, also one the identification would not give: the check must
    // answer 0 for a type without a range and never read outside buffer.
    const int sum_type = type >= 0 ? type : (size ? data[0] % (NUM_PRODUCTS + 2) - 1 : -1);
    const int valid = isValidUpgradeFile(path.c_str(), sum_type);
    const ChecksumRow* row = checksum_row(sum_type);
    const bool whole = row != nullptr && file.size() >= static_cast<std::size_t>(row->stored_at) + 2;
    bool sum_right = false;
    if (whole) {
        const std::uint16_t sum = SparseSum(file, segments, row->start, row->stored_at);
        sum_right = sum == file[row->stored_at] * 256u + file[row->stored_at + 1];
    }
    if (valid != (whole && (sum_right || kAnySum) ? 1 : 0)) Fail();

    const TransferPlan* plan = transfer_plan(sum_type);
    const int complete = isCompleteUpgradeFile(path.c_str(), sum_type);
    if (complete != (plan != nullptr && file.size() >= static_cast<std::size_t>(plan->pieces) * plan->piece_size))
        Fail();

    // What the program announces for an image it takes.
    if (type >= 0 && valid && complete) {
        char model[PRODUCT_ID_LEN + 1];
        if (ModelName(type, model)[0] == '\0') Fail();
    }
    return 0;
}

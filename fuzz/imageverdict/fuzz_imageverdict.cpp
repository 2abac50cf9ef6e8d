// The verdict on fuzzer-made images (see fuzz/imagecheck/sparse_image.h):
// it agrees with the checks it is made of, "valid" only for an image that
// holds every byte its transfer sends, and the counts of the report fit the
// image. A first input byte with its low bit set stores the right sum into
// the image, so that the fuzzer gets past the checksum to the length.
#include <cstdint>
#include <cstdlib>

#include "fuzz/imagecheck/sparse_image.h"
#include "fwimage/check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static sparse::Image image;
    if (size == 0) return 0;
    image.Build(data + 1, size - 1);
    const fwimage::Span bytes = image.span();
    const int found = fwimage::identify(bytes);
    if (const ChecksumRow* row = checksum_row(found); row && (data[0] & 1)) {
        const auto at = static_cast<std::size_t>(row->stored_at);
        const std::uint16_t sum = image.Sum(static_cast<std::size_t>(row->start), at);
        image.Store(at, static_cast<std::uint8_t>(sum >> 8));
        image.Store(at + 1, static_cast<std::uint8_t>(sum));
    }

    const fwimage::Report r = fwimage::examine(bytes);
    const bool complete = fwimage::complete(bytes, r.type);
    if (r.type != found) std::abort();
    if (r.sum.row != checksum_row(r.type)) std::abort();
    if (r.verdict != fwimage::verdict(r.type, r.sum.right(), complete)) std::abort();
    if (r.verdict == fwimage::Verdict::valid && (bytes.size() < r.needed || r.needed == 0)) std::abort();
    if ((r.type < 0) != (r.needed == 0) || r.unchecked > r.needed || r.version.size() > VERSION_LEN)
        std::abort();
    if (r.needed > MAX_IMAGE) std::abort();
    return 0;
}

// Image identification and checksum on fuzzer-made images (see
// sparse_image.h for how an input describes one): the type found is that of
// the first identity row the image holds, the sum is that of the covered
// bytes the image holds, and no check reads beyond the image.
#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include "fuzz/imagecheck/sparse_image.h"
#include "fwimage/check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static sparse::Image image;
    image.Build(data, size);
    const fwimage::Span bytes = image.span();

    const int type = fwimage::identify(bytes);
    for (int i = 0; i < num_identity_rows; i++) {
        const bool holds = fwimage::holds_identity(bytes, identity_rows[i]);
        if (identity_rows[i].type == type) {
            if (!holds) std::abort();
            break;
        }
        if (holds) std::abort();  // an earlier row matched
    }

    // Any type, also one the identification would not give: a type without
    // a range has no sum.
    const int sum_type = type >= 0 ? type : (size ? data[0] % (NUM_PRODUCTS + 2) - 1 : -1);
    const fwimage::Checksum c = fwimage::checksum(bytes, sum_type);
    const ChecksumRow* row = checksum_row(sum_type);
    if (c.row != row) std::abort();
    if (row == nullptr) return 0;
    const auto start = static_cast<std::size_t>(row->start), at = static_cast<std::size_t>(row->stored_at);
    // The sum stops at the stored sum, or where a shorter image ends, but
    // never before the range's start.
    if (c.end != std::max(start, std::min(at, bytes.size()))) std::abort();
    if (c.computed != image.Sum(start, at)) std::abort();
    const bool whole = bytes.size() >= at + 2;
    if (c.stored != (whole ? bytes[at] << 8 | bytes[at + 1] : -1)) std::abort();
    if (c.right() != (whole && c.stored == c.computed)) std::abort();
    return 0;
}

// Images for the image fuzz targets, described sparsely.
//
// The fields the checks look at lie up to 512 KiB into an image, too far for
// a fuzzer that mutates every byte of its input. So an input describes a
// sparse image, in records of
//
//     anchor (1 byte) | shift (1 byte, signed) | length (1 byte) | bytes
//
// each putting its bytes at anchors[anchor % count] + shift: the offsets the
// tables name (identity fields, checksum ranges and stored sums, transfer
// lengths) and 0. The image is zero elsewhere and ends with the last record
// (a record of length 0 just sets the end). A short last record takes the
// bytes that are left.
#pragma once

#include <sanitizer/asan_interface.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fwimage/check.h"
#include "fwimage/fwtables.h"

namespace sparse {

// The image's own loops are no coverage for the fuzzer to chase, and their
// comparison tracing would cost more than the checks under test.
#define SPARSE_NO_COVERAGE __attribute__((no_sanitize("coverage")))

class Image {
public:
    struct Segment {
        std::size_t at;
        const std::uint8_t* bytes;
        std::size_t length;
    };

    Image() : anchors_(Anchors()), bytes_(MAX_IMAGE + 512, 0) {}

    // Lays the records of data onto the zero image. The bytes are valid
    // until the next call.
    SPARSE_NO_COVERAGE void Build(const std::uint8_t* data, std::size_t size) {
        ASAN_UNPOISON_MEMORY_REGION(bytes_.data(), bytes_.size());
        // Only what the last image wrote needs clearing.
        for (const Segment& s : segments_) std::memset(bytes_.data() + s.at, 0, s.length);
        for (std::size_t at : stored_) bytes_[at] = 0;
        segments_.clear();
        stored_.clear();
        length_ = 0;
        for (std::size_t i = 0; i + 3 <= size;) {
            long at = anchors_[data[i] % anchors_.size()] + static_cast<std::int8_t>(data[i + 1]);
            std::size_t length = std::min<std::size_t>(data[i + 2], size - i - 3);
            Segment s{static_cast<std::size_t>(std::max(at, 0L)), data + i + 3, length};
            std::memcpy(bytes_.data() + s.at, s.bytes, s.length);
            segments_.push_back(s);
            length_ = std::max(length_, s.at + s.length);
            i += 3 + length;
        }
        std::sort(segments_.begin(), segments_.end(),
                  [](const Segment& a, const Segment& b) { return a.at < b.at; });
        // AddressSanitizer sees any read beyond the image's end.
        ASAN_POISON_MEMORY_REGION(bytes_.data() + length_, bytes_.size() - length_);
    }

    fwimage::Span span() const { return {bytes_.data(), length_}; }
    // Changes a byte of the image after it was built; Sum() does not see it.
    void Store(std::size_t at, std::uint8_t value) {
        if (at >= length_) return;
        bytes_[at] = value;
        stored_.push_back(at);
    }

    // The 16-bit sum of [from, to) within the image. Only the bytes the
    // records wrote can be other than zero, so it adds just those.
    SPARSE_NO_COVERAGE std::uint16_t Sum(std::size_t from, std::size_t to) const {
        to = std::min(to, length_);
        std::uint16_t sum = 0;
        std::size_t done = from;  // everything below is added
        for (const Segment& s : segments_) {
            std::size_t begin = std::max(s.at, done);
            std::size_t end = std::min(s.at + s.length, to);
            for (std::size_t i = begin; i < end; i++) sum = static_cast<std::uint16_t>(sum + bytes_[i]);
            done = std::max(done, end);
        }
        return sum;
    }

private:
    static std::vector<long> Anchors() {
        std::vector<long> at = {0};
        for (int i = 0; i < num_identity_rows; i++) {
            const IdentityRow& id = identity_rows[i];
            at.push_back(id.offset);
            if (const ChecksumRow* c = checksum_row(id.type)) {
                at.push_back(c->start);
                at.push_back(c->stored_at);
            }
            at.push_back(static_cast<long>(fwimage::needed_length(id.type)));
        }
        std::sort(at.begin(), at.end());
        at.erase(std::unique(at.begin(), at.end()), at.end());
        return at;
    }

    std::vector<long> anchors_;
    std::vector<std::uint8_t> bytes_;
    std::vector<Segment> segments_;
    std::vector<std::size_t> stored_;
    std::size_t length_ = 0;
};

}  // namespace sparse

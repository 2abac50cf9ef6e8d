// Properties of the image check on images of every type made by the image
// builder: any single-byte change inside a checksummed range is refused by
// the checksum, any change at an identity field by the identification, and
// bytes the checksum does not cover are let through.
#include <cstdint>
#include <random>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "fwimage/check.h"
#include "fwimage/fwimage.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// Types in the order of the identity table.
std::vector<int> ImageTypes() {
    std::vector<int> types;
    for (int i = 0; i < num_identity_rows; i++) types.push_back(identity_rows[i].type);
    return types;
}

// One image, changed a byte at a time and put back after each check.
class ImageFile {
public:
    explicit ImageFile(Bytes image) : image_(std::move(image)), original_(image_) {}

    std::uint8_t at(long offset) const { return original_[static_cast<std::size_t>(offset)]; }

    void Set(long offset, std::uint8_t value) { image_[static_cast<std::size_t>(offset)] = value; }
    void Restore(long offset) { Set(offset, at(offset)); }

    int Type() const { return fwimage::identify(image_); }
    int Valid(int type) const { return fwimage::checksum(image_, type).right() ? 1 : 0; }

    // What check answers with the byte at offset set to value.
    template <class Check>
    auto With(long offset, std::uint8_t value, Check check) {
        Set(offset, value);
        auto result = check();
        Restore(offset);
        return result;
    }

private:
    Bytes image_;
    Bytes original_;
};

Bytes Image(int type) {
    Bytes image;
    EXPECT_EQ(fwimage::build(type, fwimage::sample_version(type), {}, image), "");
    return image;
}

// Offsets where a wrong start or end of the range would show: each end of
// the range and the stored sum, and a sample of 32 KiB steps in between.
std::vector<long> EdgeOffsets(const ChecksumRow& row) {
    std::vector<long> at;
    for (long edge = row.start; edge < row.stored_at; edge += 32768)
        for (long d : {-2L, -1L, 0L, 1L})
            if (edge + d >= row.start) at.push_back(edge + d);
    for (long d : {-2L, -1L, 0L, 1L}) at.push_back(row.stored_at + d);
    return at;
}

TEST(ImageProperty, BuiltImagesPass) {
    for (int type : ImageTypes()) {
        ImageFile file(Image(type));
        EXPECT_EQ(file.Type(), type);
        EXPECT_EQ(file.Valid(type), 1) << type;
    }
}

TEST(ImageProperty, EveryChangeOfAnIdentityByteIsRefused) {
    // Identification alone refuses it: a changed field matches no row,
    // whatever the checksum says.
    for (int i = 0; i < num_identity_rows; i++) {
        const IdentityRow& row = identity_rows[i];
        ImageFile file(Image(row.type));
        for (long at = row.offset; at < row.offset + row.length; at++) {
            for (int v = 0; v < 256; v++) {
                if (v == file.at(at)) continue;
                int type = file.With(at, static_cast<std::uint8_t>(v), [&] { return file.Type(); });
                ASSERT_EQ(type, -1) << "type " << row.type << " offset 0x" << std::hex << at << " value 0x"
                                    << v;
            }
        }
    }
}

TEST(ImageProperty, SampledByteChangesInTheCoveredRangeAreRefused) {
    // Every type: each side of every piece edge, and random offsets with
    // random values.
    std::mt19937 rng(20010509);
    for (int type : ImageTypes()) {
        const ChecksumRow& row = *checksum_row(type);
        ImageFile file(Image(type));
        std::uniform_int_distribution<long> anywhere(row.start, row.stored_at + 1);
        std::uniform_int_distribution<int> step(1, 255);
        std::vector<std::pair<long, int>> changes;
        for (long at : EdgeOffsets(row))
            for (int s : {1, 0x80}) changes.push_back({at, s});
        for (int n = 0; n < 40; n++) changes.push_back({anywhere(rng), step(rng)});
        for (auto [at, s] : changes) {
            auto v = static_cast<std::uint8_t>(file.at(at) + s);
            int valid = file.With(at, v, [&] { return file.Valid(type); });
            ASSERT_EQ(valid, 0) << "type " << type << " offset 0x" << std::hex << at << " value 0x" << int{v};
        }
    }
}

TEST(ImageProperty, EveryByteOfTheSmallRangeCountsOnce) {
    // Types 12, 14 and 17 share the smallest range. A byte changed by d
    // moves the sum by d, so a single-byte change is refused exactly when
    // the check counts that byte once. Eight bytes changed by +-1, +-2, ...,
    // +-128 together, with the stored sum moved by their total, pass only
    // if each of them counts once: no signed sum of distinct powers of two
    // cancels. One run thus checks eight offsets, and the whole range needs
    // an eighth of the runs that one change per offset would.
    const int type = 12;
    const ChecksumRow& row = *checksum_row(type);
    Bytes image = Image(type);
    ImageFile file(image);
    const long stored = row.stored_at;
    const unsigned sum = image[stored] * 256u + image[stored + 1];
    for (long first = row.start; first < stored; first += 8) {
        const long end = first + 8 < stored ? first + 8 : stored;
        unsigned moved = sum;
        for (long at = first; at < end; at++) {
            const int d = 1 << (at - first);
            const int old = file.at(at);
            const int v = old + d <= 255 ? old + d : old - d;
            file.Set(at, static_cast<std::uint8_t>(v));
            moved += static_cast<unsigned>(v - old);
        }
        file.Set(stored, static_cast<std::uint8_t>(moved >> 8));
        file.Set(stored + 1, static_cast<std::uint8_t>(moved));
        ASSERT_EQ(file.Valid(type), 1) << "offsets 0x" << std::hex << first << " to 0x" << end - 1;
        for (long at = first; at < end; at++) file.Restore(at);
    }
    file.Restore(stored);
    file.Restore(stored + 1);
    ASSERT_EQ(file.Valid(type), 1);

    // The stored sum itself, every bit of it.
    for (long at : {stored, stored + 1}) {
        for (int bit = 0; bit < 8; bit++) {
            auto v = static_cast<std::uint8_t>(file.at(at) ^ (1u << bit));
            EXPECT_EQ(file.With(at, v, [&] { return file.Valid(type); }), 0)
                << "offset 0x" << std::hex << at << " bit " << bit;
        }
    }
}

TEST(ImageProperty, BytesOutsideTheRangeAreNotChecked) {
    // The boot area of the small images, and what the larger transfers send
    // beyond their sum.
    struct Case {
        int type;
        long from, to;
    } cases[] = {
        {12, 0, 0x4100},        {17, 0, 0x4100},        {18, 0x60000, 0x80000},
        {20, 0x78000, 0x80000}, {22, 0x78000, 0x80000},
    };
    for (const Case& c : cases) {
        ImageFile file(Image(c.type));
        for (long at : {c.from, c.from + 1, (c.from + c.to) / 2, c.to - 1}) {
            auto v = static_cast<std::uint8_t>(file.at(at) ^ 0x5A);
            int valid = file.With(at, v, [&] { return file.Valid(c.type); });
            EXPECT_EQ(valid, 1) << "type " << c.type << " offset 0x" << std::hex << at;
        }
    }
}

}  // namespace

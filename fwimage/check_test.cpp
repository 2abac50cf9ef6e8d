// Image identification, checksum, length and verdict on images made by the
// test. The offsets and checksum positions are written out here on purpose
// instead of taken from the tables, so that a wrong table row shows up.
#include "fwimage/check.h"

#include <cstring>
#include <vector>

#include <gtest/gtest.h>

namespace {

using Bytes = std::vector<std::uint8_t>;
using fwimage::Verdict;

void Put(Bytes& image, long offset, const char* text) {
    std::memcpy(image.data() + offset, text, std::strlen(text));
}

unsigned Sum(const Bytes& image, long from, long to) {
    unsigned sum = 0;
    for (long i = from; i < to; i++) sum += image[i];
    return sum & 0xFFFF;
}

void Store(Bytes& image, long at, unsigned value) {
    image[at] = static_cast<std::uint8_t>(value >> 8);
    image[at + 1] = static_cast<std::uint8_t>(value);
}

// A 512 KiB image of code name type with a right checksum at 0x7FFFE.
Bytes CodeNameImage(const char* identity) {
    Bytes image(0x80000, 0x11);
    Put(image, 0x7FF1C, identity);
    Store(image, 0x7FFFE, Sum(image, 0, 0x7FFFE));
    return image;
}

bool Valid(const Bytes& image, int type) { return fwimage::checksum(image, type).right(); }

TEST(Identify, IdentityFieldsDecideTheType) {
    struct Case {
        long offset;
        const char* text;
        int type;
    } cases[] = {
        {0x180, "DRAVLIN CD-R   QV-G253K ", 11},
        {0x7FF1C, "DRAVLIN HALDWYN 000", 13},
        {0x7FF1C, "DRAVLIN KESTREM 000", 15},
        {0x7FF1C, "DRAVLIN ORVENT  000", 16},
        {0x5FF1C, "DRAVLIN TAMBRIL 000", 18},
        {0x7FF1C, "DRAVLIN SELQUIN 000", 19},
        {0x1001C, "DRAVLIN DUNMAR  000", 20},
        {0x1001C, "DRAVLIN FARROWK 000", 21},
        {0x10030, "DRAVLIN BELCRAY 000", 22},
        {0x41F4, "GWYL 002", 12},
        {0x41F4, "NORVA202", 14},
        {0x41F4, "ZEP  003", 17},
        // Near misses: one blank too few, the loader text without its
        // closing blank, lower case.
        {0x7FF1C, "DRAVLIN ORVENT 000", -1},
        {0x180, "DRAVLIN CD-R   QV-G253KX", -1},
        {0x7FF1C, "dravlin HALDWYN 000", -1},
        {0x41F4, "ZEP 003", -1},
    };
    for (const Case& c : cases) {
        Bytes image(0x80000, 0);
        Put(image, c.offset, c.text);
        EXPECT_EQ(fwimage::identify(image), c.type) << c.text;
    }
}

TEST(Identify, TableOrderWinsOverALaterField) {
    Bytes image(0x80000, 0);
    Put(image, 0x7FF1C, "DRAVLIN HALDWYN 000");
    Put(image, 0x180, "DRAVLIN CD-R   QV-G253K ");
    EXPECT_EQ(fwimage::identify(image), 11);
}

TEST(Identify, FieldsBeyondTheEndDoNotMatch) {
    EXPECT_EQ(fwimage::identify({}), -1);
    // The code name field cut one byte short by the end of the image.
    Bytes image(0x7FF1C + 18, 0);
    Put(image, 0x7FF1C, "DRAVLIN HALDWYN 00");
    EXPECT_EQ(fwimage::identify(image), -1);
    image.push_back('0');  // exactly long enough
    EXPECT_EQ(fwimage::identify(image), 13);
}

TEST(Checksum, WholeRangeOfEachType) {
    EXPECT_TRUE(Valid(CodeNameImage("DRAVLIN HALDWYN 000"), 13));

    // The stored value is big-endian and off by one in either byte fails.
    Bytes image = CodeNameImage("DRAVLIN HALDWYN 000");
    image[0x7FFFF] ^= 1;
    EXPECT_FALSE(Valid(image, 13));
    image = CodeNameImage("DRAVLIN HALDWYN 000");
    std::swap(image[0x7FFFE], image[0x7FFFF]);
    EXPECT_FALSE(Valid(image, 13));

    // The last covered byte counts, the first stored byte does not.
    image = CodeNameImage("DRAVLIN HALDWYN 000");
    image[0x7FFFD]++;
    EXPECT_FALSE(Valid(image, 13));

    struct Range {
        int type;
        long size;
        long stored_at;
    } ranges[] = {
        {11, 0x40000, 0x3FFFE}, {18, 0x60000, 0x5FFFE}, {20, 0x78000, 0x77FFE}, {21, 0x78000, 0x77FFE},
        {22, 0x78000, 0x77FFE}, {15, 0x80000, 0x7FFFE}, {16, 0x80000, 0x7FFFE}, {19, 0x80000, 0x7FFFE},
    };
    for (const Range& r : ranges) {
        Bytes img(r.size, 0);
        for (long i = 0; i < r.stored_at; i++) img[i] = static_cast<std::uint8_t>(i * 7);
        Store(img, r.stored_at, Sum(img, 0, r.stored_at));
        EXPECT_TRUE(Valid(img, r.type)) << r.type;
        img[r.stored_at - 1]++;
        EXPECT_FALSE(Valid(img, r.type)) << r.type;
    }
}

TEST(Checksum, BootAreaOfTheSmallImagesIsNotCovered) {
    for (int type : {12, 14, 17}) {
        Bytes image(0x20000, 0x5A);
        Store(image, 0x1FFFE, Sum(image, 0x4100, 0x1FFFE));
        std::memset(image.data(), 0xAA, 0x4100);
        EXPECT_TRUE(Valid(image, type)) << type;
        image[0x4100]++;
        EXPECT_FALSE(Valid(image, type)) << type;
    }
}

TEST(Checksum, SumWrapsAtSixteenBits) {
    Bytes image(0x80000, 0);
    Put(image, 0x7FF1C, "DRAVLIN HALDWYN 000");
    unsigned identity = Sum(image, 0, 0x7FFFE);
    std::memset(image.data() + 0x1000, 0xFF, 258);  // 258 x 0xFF = 0x100FE
    Store(image, 0x7FFFE, (identity + 0x00FE) & 0xFFFF);
    EXPECT_TRUE(Valid(image, 13));
}

TEST(Checksum, ShortImageOrTypeWithoutRangeFails) {
    Bytes image = CodeNameImage("DRAVLIN HALDWYN 000");
    image.resize(0x7FFFF);  // half of the stored sum missing
    EXPECT_FALSE(Valid(image, 13));
    Bytes zeros(0x7FFFE, 0);  // no stored sum at all: a sum of 0 must not pass
    EXPECT_FALSE(Valid(zeros, 13));
    EXPECT_FALSE(Valid(CodeNameImage("DRAVLIN HALDWYN 000"), 10));
    EXPECT_FALSE(Valid(CodeNameImage("DRAVLIN HALDWYN 000"), -1));
}

TEST(Checksum, ComputedOverWhatAShortImageHolds) {
    // Lengths around the blocks the sum is taken in; every byte counts.
    for (std::size_t length : {0, 1, 127, 128, 129, 255, 256, 257, 1000, 4095}) {
        Bytes image(length);
        for (std::size_t i = 0; i < length; i++) image[i] = static_cast<std::uint8_t>(i * 37 + 200);
        fwimage::Checksum c = fwimage::checksum(image, 13);
        EXPECT_EQ(c.computed, Sum(image, 0, static_cast<long>(length))) << length;
        EXPECT_EQ(c.end, length);
        EXPECT_EQ(c.stored, -1);
    }
}

TEST(Complete, LengthAgainstWhatTheTransferSends) {
    // Type 18 passes its checksum at 384 KiB but the transfer sends 512 KiB.
    struct Case {
        std::size_t size;
        int type;
        bool complete;
    } cases[] = {
        {0x60000, 18, false}, {0x7FFFF, 18, false}, {0x80000, 18, true},  {0x78000, 21, false},
        {0x40000, 11, true},  {0x20000, 12, true},  {0x20000, 11, false}, {0x20000, 0, false},
    };
    for (const Case& c : cases) EXPECT_EQ(fwimage::complete(Bytes(c.size), c.type), c.complete) << c.size;
}

TEST(Verdict, FirstFaultInTheOrderOfTheChecks) {
    EXPECT_EQ(fwimage::verdict(-1, false, false), Verdict::unknown);
    EXPECT_EQ(fwimage::verdict(18, false, false), Verdict::bad_checksum);
    EXPECT_EQ(fwimage::verdict(18, true, false), Verdict::too_short);
    EXPECT_EQ(fwimage::verdict(18, true, true), Verdict::valid);
}

TEST(Examine, UncheckedBytesAndVersion) {
    // Type 18: 512 KiB sent, 384 KiB summed with the sum; type 12: the boot
    // area; type 13 covers everything it sends.
    struct Case {
        int type;
        long identity_at;
        const char* identity;
        long from, stored_at;
        std::size_t size, unchecked;
    } cases[] = {
        {18, 0x5FF1C, "DRAVLIN TAMBRIL 0001.10", 0, 0x5FFFE, 0x80000, 0x20000},
        {12, 0x41F4, "GWYL 0021.06", 0x4100, 0x1FFFE, 0x20000, 0x4100},
        {13, 0x7FF1C, "DRAVLIN HALDWYN 0001.10", 0, 0x7FFFE, 0x80000, 0},
    };
    for (const Case& c : cases) {
        Bytes image(c.size, 0);
        Put(image, c.identity_at, c.identity);
        Store(image, c.stored_at, Sum(image, c.from, c.stored_at));
        fwimage::Report r = fwimage::examine(image);
        EXPECT_EQ(r.type, c.type);
        EXPECT_EQ(r.version, std::string(c.identity).substr(std::strlen(c.identity) - 4));
        EXPECT_EQ(r.unchecked, c.unchecked) << c.type;
        EXPECT_EQ(r.verdict, Verdict::valid) << c.type;
    }
    // The version is cut by the end of the image.
    Bytes cut(0x7FF1C + 21, 0);
    Put(cut, 0x7FF1C, "DRAVLIN HALDWYN 0001.");
    EXPECT_EQ(fwimage::examine(cut).version, "1.");
    EXPECT_EQ(fwimage::examine(cut).verdict, Verdict::bad_checksum);
}

}  // namespace

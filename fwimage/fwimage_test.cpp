#include "fwimage/fwimage.h"

#include <gtest/gtest.h>

#include <cstring>

#include "fwimage/check.h"
#include "fwimage/fwtables.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

int stored(const Bytes& img, int type) { return fwimage::checksum(img, type).stored; }

TEST(FwImage, ValidImageForEveryTypeWithAnIdentity) {
    int built = 0;
    for (int type = 0; type < numProds; type++) {
        Bytes img;
        std::string e = fwimage::build(type, fwimage::sample_version(type), {}, img);
        if (identity_row(type) == nullptr) {
            EXPECT_EQ(e, "drive type " + std::to_string(type) + " has no image identity");
            continue;
        }
        built++;
        ASSERT_EQ(e, "") << type;
        const TransferPlan* plan = transfer_plan(type);
        EXPECT_EQ(img.size(), static_cast<std::size_t>(plan->pieces * plan->piece_size)) << type;
        EXPECT_EQ(fwimage::identify(img), type);
        const IdentityRow* id = identity_row(type);
        EXPECT_EQ(
            std::string(img.begin() + id->offset + id->length, img.begin() + id->offset + id->length + 4),
            fwimage::sample_version(type));
        EXPECT_TRUE(fwimage::checksum(img, type).right()) << type;
        // No other row's identity where the tool looks for it.
        for (int r = 0; r < num_identity_rows; r++) {
            const IdentityRow& o = identity_rows[r];
            if (o.type == type || static_cast<std::size_t>(o.offset + o.length) > img.size()) continue;
            EXPECT_NE(std::memcmp(img.data() + o.offset, o.text, static_cast<std::size_t>(o.length)), 0)
                << type << " holds " << o.type;
        }
    }
    EXPECT_EQ(built, 12);
}

TEST(FwImage, LoaderModeVersionSitsAt0x198) {
    Bytes img;
    ASSERT_EQ(fwimage::build(11, "1.10", {}, img), "");
    EXPECT_EQ(std::string(img.begin() + 0x198, img.begin() + 0x19C), "1.10");
    EXPECT_EQ(img.size(), 0x40000u);
}

TEST(FwImage, DeterministicFillerThatDependsOnTheVersion) {
    Bytes a, b, c;
    fwimage::build(13, "1.10", {}, a);
    fwimage::build(13, "1.10", {}, b);
    fwimage::build(13, "1.11", {}, c);
    EXPECT_EQ(a, b);
    EXPECT_NE(std::vector<std::uint8_t>(a.begin(), a.begin() + 0x1000),
              std::vector<std::uint8_t>(c.begin(), c.begin() + 0x1000));
}

TEST(FwImage, BadChecksumIsOffByOne) {
    for (int type : {11, 12, 18, 20}) {
        Bytes good, bad;
        fwimage::build(type, fwimage::sample_version(type), {}, good);
        fwimage::Options o;
        o.bad_checksum = true;
        fwimage::build(type, fwimage::sample_version(type), o, bad);
        EXPECT_EQ(stored(bad, type), (stored(good, type) + 1) & 0xFFFF);
        EXPECT_EQ(fwimage::checksum(bad, type).computed, fwimage::checksum(good, type).computed);
    }
}

TEST(FwImage, ChosenLength) {
    fwimage::Options o;
    Bytes full, img;
    fwimage::build(18, "1.10", {}, full);
    o.length = 0x60000;  // ends where the checksum of type 18 ends, before 512 KiB
    ASSERT_EQ(fwimage::build(18, "1.10", o, img), "");
    EXPECT_EQ(img.size(), 0x60000u);
    EXPECT_TRUE(std::equal(img.begin(), img.end(), full.begin()));
    EXPECT_TRUE(fwimage::checksum(img, 18).right());

    o.length = 0x90000;  // longer: the checksummed part stays the same
    ASSERT_EQ(fwimage::build(13, "1.10", o, img), "");
    EXPECT_EQ(img.size(), 0x90000u);
    EXPECT_TRUE(fwimage::checksum(img, 13).right());

    o.length = 0;
    ASSERT_EQ(fwimage::build(13, "1.10", o, img), "");
    EXPECT_TRUE(img.empty());
    o.length = fwimage::MAX_LENGTH + 1;
    EXPECT_NE(fwimage::build(13, "1.10", o, img), "");
}

TEST(FwImage, VersionRules) {
    Bytes img;
    EXPECT_EQ(fwimage::build(17, "1.10", {}, img), "");
    EXPECT_EQ(fwimage::build(17, "1.00", {}, img),
              "a type 17 image needs a version with 1 as its third character (e.g. 1.10)");
    EXPECT_EQ(fwimage::build(12, "1.06", {}, img), "");
    EXPECT_NE(fwimage::build(12, "1.10", {}, img), "");
    EXPECT_EQ(fwimage::build(13, "1.1", {}, img), "the version must be 4 characters, e.g. 1.10");
    EXPECT_EQ(fwimage::build(13, "1.100", {}, img), "the version must be 4 characters, e.g. 1.10");
    EXPECT_NE(fwimage::build(-1, "1.10", {}, img), "");
    EXPECT_NE(fwimage::build(23, "1.10", {}, img), "");
}

TEST(FwImage, SampleNames) {
    std::string names;
    for (int type = 0; type < numProds; type++)
        if (!fwimage::sample_name(type).empty())
            names += std::to_string(type) + ":" + fwimage::sample_name(type) + " ";
    EXPECT_EQ(names,
              "11:qvg253k 12:qvb8nb 13:qvg567l 14:qvb8nv 15:qvh3551l 16:qvh7551l 17:qvxxnb 18:qvh7763l "
              "19:qvh953nb 20:qvh9549a 21:qvh9549s 22:qvh9749a ");
}

}  // namespace

// Image identification, checksum and length checks, run in-process on files
// written by the test. The offsets and checksum positions are written out
// here on purpose instead of taken from the tables, so that a wrong table
// row shows up.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tool/qvupgrade.h"

namespace {

using Bytes = std::vector<unsigned char>;

class ImageCheck : public ::testing::Test {
protected:
    void SetUp() override {
        char dir[] = "/tmp/qvimgXXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        io_.assign(40000, 0);
        saved_buffer_ = buffer;
        buffer = io_.data();
        debug = 0;
    }
    void TearDown() override {
        buffer = saved_buffer_;
        debug = 0;
        std::string cmd = "rm -rf '" + dir_ + "'";
        ASSERT_EQ(std::system(cmd.c_str()), 0);
    }

    std::string Write(const Bytes& image, const char* name = "fw.bin") {
        std::string path = dir_ + "/" + name;
        FILE* f = std::fopen(path.c_str(), "wb");
        EXPECT_NE(f, nullptr);
        if (!image.empty()) {
            EXPECT_EQ(std::fwrite(image.data(), 1, image.size(), f), image.size());
        }
        std::fclose(f);
        return path;
    }

    std::string dir_;
    Bytes io_;
    unsigned char* saved_buffer_ = nullptr;
};

void Put(Bytes& image, long offset, const char* text) {
    std::memcpy(image.data() + offset, text, std::strlen(text));
}

unsigned Sum(const Bytes& image, long from, long to) {
    unsigned sum = 0;
    for (long i = from; i < to; i++) sum += image[i];
    return sum & 0xFFFF;
}

void Store(Bytes& image, long at, unsigned value) {
    image[at] = static_cast<unsigned char>(value >> 8);
    image[at + 1] = static_cast<unsigned char>(value);
}

// A 512 KiB image of code name type with a right checksum at 0x7FFFE.
Bytes CodeNameImage(const char* identity) {
    Bytes image(0x80000, 0x11);
    Put(image, 0x7FF1C, identity);
    Store(image, 0x7FFFE, Sum(image, 0, 0x7FFFE));
    return image;
}

TEST_F(ImageCheck, IdentityFieldsDecideTheType) {
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
        EXPECT_EQ(GetUpgradeInfo(Write(image).c_str()), c.type) << c.text;
    }
}

TEST_F(ImageCheck, TableOrderWinsOverALaterField) {
    Bytes image(0x80000, 0);
    Put(image, 0x7FF1C, "DRAVLIN HALDWYN 000");
    Put(image, 0x180, "DRAVLIN CD-R   QV-G253K ");
    EXPECT_EQ(GetUpgradeInfo(Write(image).c_str()), 11);
}

TEST_F(ImageCheck, FieldsBeyondTheEndOfTheFileDoNotMatch) {
    EXPECT_EQ(GetUpgradeInfo(Write({}).c_str()), -1);

    // The code name field cut one byte short by the end of the file.
    Bytes image(0x7FF1C + 18, 0);
    Put(image, 0x7FF1C, "DRAVLIN HALDWYN 00");
    EXPECT_EQ(GetUpgradeInfo(Write(image).c_str()), -1);

    // Exactly long enough.
    image.push_back('0');
    EXPECT_EQ(GetUpgradeInfo(Write(image).c_str()), 13);
}

TEST_F(ImageCheck, ChecksumOverTheWholeRangeOfEachType) {
    EXPECT_EQ(isValidUpgradeFile(Write(CodeNameImage("DRAVLIN HALDWYN 000")).c_str(), 13), 1);

    // The stored value is big-endian and off by one in either byte fails.
    Bytes image = CodeNameImage("DRAVLIN HALDWYN 000");
    image[0x7FFFF] ^= 1;
    EXPECT_EQ(isValidUpgradeFile(Write(image).c_str(), 13), 0);
    image = CodeNameImage("DRAVLIN HALDWYN 000");
    std::swap(image[0x7FFFE], image[0x7FFFF]);
    EXPECT_EQ(isValidUpgradeFile(Write(image).c_str(), 13), 0);

    // The last covered byte counts, the first stored byte does not.
    image = CodeNameImage("DRAVLIN HALDWYN 000");
    image[0x7FFFD]++;
    EXPECT_EQ(isValidUpgradeFile(Write(image).c_str(), 13), 0);

    struct Range {
        int type;
        long size;
        long stored_at;
    } ranges[] = {
        {11, 0x40000, 0x3FFFE}, {18, 0x60000, 0x5FFFE}, {20, 0x78000, 0x77FFE},
        {21, 0x78000, 0x77FFE}, {22, 0x78000, 0x77FFE}, {15, 0x80000, 0x7FFFE},
        {16, 0x80000, 0x7FFFE}, {19, 0x80000, 0x7FFFE},
    };
    for (const Range& r : ranges) {
        Bytes img(r.size, 0);
        for (long i = 0; i < r.stored_at; i++) img[i] = static_cast<unsigned char>(i * 7);
        Store(img, r.stored_at, Sum(img, 0, r.stored_at));
        EXPECT_EQ(isValidUpgradeFile(Write(img).c_str(), r.type), 1) << r.type;
        img[r.stored_at - 1]++;
        EXPECT_EQ(isValidUpgradeFile(Write(img).c_str(), r.type), 0) << r.type;
    }
}

TEST_F(ImageCheck, BootAreaOfTheSmallImagesIsNotCovered) {
    for (int type : {12, 14, 17}) {
        Bytes image(0x20000, 0x5A);
        Store(image, 0x1FFFE, Sum(image, 0x4100, 0x1FFFE));
        std::memset(image.data(), 0xAA, 0x4100);
        EXPECT_EQ(isValidUpgradeFile(Write(image).c_str(), type), 1) << type;
        image[0x4100]++;
        EXPECT_EQ(isValidUpgradeFile(Write(image).c_str(), type), 0) << type;
    }
}

TEST_F(ImageCheck, SumWrapsAtSixteenBits) {
    Bytes image(0x80000, 0);
    Put(image, 0x7FF1C, "DRAVLIN HALDWYN 000");
    unsigned identity = Sum(image, 0, 0x7FFFE);
    std::memset(image.data() + 0x1000, 0xFF, 258);  // 258 x 0xFF = 0x100FE
    Store(image, 0x7FFFE, (identity + 0x00FE) & 0xFFFF);
    EXPECT_EQ(isValidUpgradeFile(Write(image).c_str(), 13), 1);
}

TEST_F(ImageCheck, ShortFileOrTypeWithoutRangeFails) {
    Bytes image = CodeNameImage("DRAVLIN HALDWYN 000");
    image.resize(0x7FFFF);  // half of the stored sum missing
    EXPECT_EQ(isValidUpgradeFile(Write(image).c_str(), 13), 0);
    Bytes zeros(0x7FFFE, 0);  // no stored sum at all: a sum of 0 must not pass
    EXPECT_EQ(isValidUpgradeFile(Write(zeros).c_str(), 13), 0);
    EXPECT_EQ(isValidUpgradeFile(Write(CodeNameImage("DRAVLIN HALDWYN 000")).c_str(), 10), 0);
    EXPECT_EQ(isValidUpgradeFile(Write(CodeNameImage("DRAVLIN HALDWYN 000")).c_str(), -1), 0);
}

TEST_F(ImageCheck, DebugTraceLines) {
    Bytes image = CodeNameImage("DRAVLIN HALDWYN 000");
    unsigned sum = Sum(image, 0, 0x7FFFE);
    Store(image, 0x7FFFE, (sum + 1) & 0xFFFF);
    std::string path = Write(image);
    debug = 1;
    ::testing::internal::CaptureStdout();
    int type = GetUpgradeInfo(path.c_str());
    int valid = isValidUpgradeFile(path.c_str(), type);
    std::fflush(stdout);
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(valid, 0);
    char expect[200];
    std::snprintf(expect, sizeof expect,
                  "Found drive type: 13\nChecksum pos: 0x7FFFE\nChecksum 0x%X should be 0x%X\n",
                  sum, (sum + 1) & 0xFFFF);
    EXPECT_EQ(out, expect);

    ::testing::internal::CaptureStdout();
    EXPECT_EQ(GetUpgradeInfo(Write({}, "empty.bin").c_str()), -1);
    std::fflush(stdout);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Found drive type: -1\n");
}

TEST_F(ImageCheck, LengthAgainstWhatTheTransferSends) {
    // Type 18 passes its checksum at 384 KiB but the transfer sends 512 KiB.
    Bytes image(0x60000, 0);
    EXPECT_EQ(isCompleteUpgradeFile(Write(image).c_str(), 18), 0);
    image.resize(0x7FFFF);
    EXPECT_EQ(isCompleteUpgradeFile(Write(image).c_str(), 18), 0);
    image.resize(0x80000);
    EXPECT_EQ(isCompleteUpgradeFile(Write(image).c_str(), 18), 1);
    image.resize(0x78000);
    EXPECT_EQ(isCompleteUpgradeFile(Write(image).c_str(), 21), 0);

    image.resize(0x40000);
    EXPECT_EQ(isCompleteUpgradeFile(Write(image).c_str(), 11), 1);
    image.resize(0x20000);
    EXPECT_EQ(isCompleteUpgradeFile(Write(image).c_str(), 12), 1);
    EXPECT_EQ(isCompleteUpgradeFile(Write(image).c_str(), 11), 0);
    EXPECT_EQ(isCompleteUpgradeFile(Write(image).c_str(), 0), 0);
}

TEST_F(ImageCheck, ReadImageStopsAtTheEnd) {
    Bytes image(100, 0x42);
    std::string path = Write(image);
    int fd = OpenImage(path.c_str());
    unsigned char to[200] = {};
    EXPECT_EQ(ReadImage(fd, to, 60), 60);
    EXPECT_EQ(ReadImage(fd, to, 60), 40);
    EXPECT_EQ(ReadImage(fd, to, 60), 0);
    close(fd);
}

using ImageCheckDeath = ImageCheck;

TEST_F(ImageCheckDeath, MissingFileEndsTheRun) {
    // The message goes to standard output; the death test sees standard
    // error, so the child points one at the other.
    std::string path = dir_ + "/none.bin";
    std::string message = "^\aUnable to open file " + path + "\n$";
    EXPECT_EXIT((dup2(2, 1), GetUpgradeInfo(path.c_str())), ::testing::ExitedWithCode(1), message);
    EXPECT_EXIT((dup2(2, 1), isValidUpgradeFile(path.c_str(), 13)), ::testing::ExitedWithCode(1),
                message);
    EXPECT_EXIT((dup2(2, 1), isCompleteUpgradeFile(path.c_str(), 13)),
                ::testing::ExitedWithCode(1), message);
}

}  // namespace

// The image check end to end: which images a run accepts, what it says about
// the others, and that no drive is touched on the way.
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/harness.h"

namespace e2e {
namespace {

const char kB8NB[] = "CD-ROM QV-B8NB  ";
const char kNoDrives[] = "\aNo upgradable drives found\n";

// The stored checksum of an image put right after its bytes were changed.
void Reseal(Bytes& image, long from, long stored_at) {
    unsigned sum = 0;
    for (long i = from; i < stored_at; i++) sum += image[i];
    image[stored_at] = static_cast<unsigned char>(sum >> 8);
    image[stored_at + 1] = static_cast<unsigned char>(sum);
}

void Put(Bytes& image, long at, const char* text) { std::memcpy(image.data() + at, text, std::strlen(text)); }

const char kNoIdentity[] = "has no identity text of a Dravlin drive";

class ImageRun : public ::testing::Test {
protected:
    void SetUp() override { box_.SetBus(Drive(0, 1, kB8NB, "1.04")); }

    // Runs the image through qvupdate -all; the drive on the bus is of
    // none of the models these images are for, except where a test wants
    // it. `why` is what standard error says of a refused image.
    Result RunImage(const Bytes& image, std::vector<std::string> extra = {}, const std::string& why = "") {
        std::string file = box_.WriteFile("fw.bin", image);
        extra.insert(extra.begin(), file);
        extra.push_back("-all");
        Result r = box_.Run(extra);
        EXPECT_EQ(r.err, why.empty()
                             ? ""
                             : "qvupdate: " + file + " " + why + " (qvimage info " + file + " tells more)\n");
        EXPECT_TRUE(Changing(box_.Log()).empty());
        return r;
    }

    Sandbox box_;
};

TEST_F(ImageRun, IdentityNeedsItsExactBlanks) {
    Bytes image = Image(16, "1.10");
    Result r = RunImage(image);
    EXPECT_EQ(r.out, std::string(kBanner) + "Upgrade file for QV-H7551L loaded\n" + kNoDrives);
    EXPECT_EQ(r.status, 0);

    // One blank between the code name and the digits matches no row.
    Put(image, 0x7FF1C, "DRAVLIN ORVENT 000 ");
    Reseal(image, 0, 0x7FFFE);
    r = RunImage(image, {}, kNoIdentity);
    EXPECT_EQ(r.out, std::string(kBanner) + "Invalid upgrade file\n");
    EXPECT_EQ(r.status, 1);

    // The loader identity ends in a blank.
    image = Image(11, "1.06");
    image[0x180 + 23] = 'X';
    Reseal(image, 0, 0x3FFFE);
    r = RunImage(image, {}, kNoIdentity);
    EXPECT_EQ(r.out, std::string(kBanner) + "Invalid upgrade file\n");
    EXPECT_EQ(r.status, 1);
}

TEST_F(ImageRun, FirstIdentityRowWins) {
    // A loader image long enough to carry a code name field as well.
    Bytes image = Image(11, "1.06", 0x80000);
    Put(image, 0x7FF1C, "DRAVLIN HALDWYN 000");
    Result r = RunImage(image);
    EXPECT_EQ(r.out, std::string(kBanner) + "Upgrade file for QV-G253K loaded\n" + kNoDrives);
    EXPECT_EQ(r.status, 0);
}

TEST_F(ImageRun, OffByOneChecksumWithDebugTrace) {
    Bytes image = Image(13, "1.10", -1, true);
    unsigned stored = image[0x7FFFE] * 256u + image[0x7FFFF];
    char trace[200];
    std::snprintf(trace, sizeof trace,
                  "Found drive type: 13\nChecksum pos: 0x7FFFE\nChecksum 0x%X should be 0x%X\n",
                  (stored - 1) & 0xFFFF, stored);
    char why[96];
    std::snprintf(why, sizeof why, "has a bad checksum: its bytes sum to 0x%04X, 0x%04X is stored",
                  (stored - 1) & 0xFFFF, stored);
    Result r = RunImage(image, {"-debug"}, why);
    EXPECT_EQ(r.out, ProductTable() + kBanner + trace + "Invalid upgrade file (bad checksum)\n");
    EXPECT_EQ(r.status, 1);

    r = RunImage(image, {}, why);
    EXPECT_EQ(r.out, std::string(kBanner) + "Invalid upgrade file (bad checksum)\n");
    EXPECT_EQ(r.status, 1);
}

TEST_F(ImageRun, ChecksumWrapsAtSixteenBits) {
    // Only the identity and 258 bytes of 0xFF (0x100FE) in the covered range.
    Bytes image(0x80000, 0);
    Put(image, 0x7FF1C, "DRAVLIN HALDWYN 0001.10");
    unsigned identity = 0;
    for (long i = 0x7FF1C; i < 0x7FF1C + 23; i++) identity += image[i];
    std::memset(image.data() + 0x100, 0xFF, 258);
    unsigned sum = (identity + 0xFE) & 0xFFFF;
    image[0x7FFFE] = static_cast<unsigned char>(sum >> 8);
    image[0x7FFFF] = static_cast<unsigned char>(sum);
    char trace[200];
    std::snprintf(trace, sizeof trace,
                  "Found drive type: 13\nChecksum pos: 0x7FFFE\nChecksum 0x%X should be 0x%X\n", sum, sum);
    Result r = RunImage(image, {"-debug"});
    EXPECT_EQ(r.out, ProductTable() + kBanner + trace + "Upgrade file for QV-G567L loaded\n" + kNoDrives);
    EXPECT_EQ(r.status, 0);
}

TEST_F(ImageRun, BootAreaOfTheSmallImagesIsFree) {
    Bytes image = Image(14, "1.10");
    std::memset(image.data(), 0xA5, 0x4100);
    Result r = RunImage(image);
    EXPECT_EQ(r.out, std::string(kBanner) + "Upgrade file for QV-B8NV loaded\n" + kNoDrives);
    EXPECT_EQ(r.status, 0);
}

TEST_F(ImageRun, LastCodeNameTypeIsAnnouncedAsB8NB) {
    Result r = RunImage(Image(17, "1.10"));
    EXPECT_EQ(r.out, std::string(kBanner) + "Upgrade file for QV-B8NB loaded\n" + kNoDrives);
    EXPECT_EQ(r.status, 0);
}

TEST_F(ImageRun, EmptyAndTruncatedFiles) {
    Result r = RunImage({}, {}, "is empty");
    EXPECT_EQ(r.out, std::string(kBanner) + "Invalid upgrade file\n");
    EXPECT_EQ(r.status, 1);

    // Cut inside the stored checksum: identified, but no checksum to match.
    r = RunImage(Image(13, "1.10", 0x7FFFF), {}, "ends before its checksum");
    EXPECT_EQ(r.out, std::string(kBanner) + "Invalid upgrade file (bad checksum)\n");
    EXPECT_EQ(r.status, 1);
}

TEST_F(ImageRun, MissingFileRingsTheBell) {
    std::string missing = box_.Path("g253k106.bin");
    Result r = box_.Run({missing, "-all"}, "y\n");
    EXPECT_EQ(r.out, std::string(kBanner) + "\aUnable to open file " + missing + "\n");
    EXPECT_EQ(r.err, "qvupdate: " + missing + " cannot be opened: No such file or directory\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Changing(box_.Log()).empty());
}

TEST_F(ImageRun, AFolderIsNoImage) {
    // Windows cannot open a folder: it is asked what the name is first, so
    // that both systems say the same.
    Result r = box_.Run({box_.dir(), "-all"}, "y\n", 10);
    EXPECT_EQ(r.out + r.err + std::to_string(r.status),
              std::string(kBanner) + "Invalid upgrade file\nqvupdate: " + box_.dir() + " is a directory\n1");
    r = box_.Qvimage({"info", box_.dir()});
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find("  verdict    Invalid upgrade file\n"), std::string::npos) << r.out;
}

TEST_F(ImageRun, OnlyARegularFileIsAnImage) {
    // Refused at once: a FIFO without a writer would block a plain open and
    // a device would never end.
    ASSERT_EQ(mkfifo(box_.Path("fifo").c_str(), 0600), 0);
    for (const std::string& file : {box_.Path("fifo"), std::string("/dev/zero")}) {
        SCOPED_TRACE(file);
        Result r = box_.Run({file, "-all"}, "y\n", 10);
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.out, std::string(kBanner) + "Invalid upgrade file\n");
        EXPECT_EQ(r.err, "qvupdate: " + file + " is not a regular file\n");
        EXPECT_EQ(r.status, 1);
    }
    EXPECT_TRUE(Changing(box_.Log()).empty());
}

}  // namespace
}  // namespace e2e

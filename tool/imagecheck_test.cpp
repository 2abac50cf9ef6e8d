// The tool's image check over its one in-memory copy: the -debug lines the
// checks print, and the read of the image file, which refuses a file it
// cannot take. What the checks decide is tested with the image library.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <optional>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fwimage/fwimage.h"
#include "testing/testsupport.h"
#include "tool/imagecheck.h"
#include "tool/testing/tooltest.h"

namespace {

using Bytes = std::vector<unsigned char>;

class ImageCheck : public ::testing::Test {
protected:
    // What GetUpgradeInfo and isValidUpgradeFile print with -debug.
    static std::string Trace(const Bytes& image, int type) {
        return qvtest::Capture([&] {
                   GetUpgradeInfo(true, image);
                   isValidUpgradeFile(true, image, type);
               })
            .out;
    }

    qvtest::TempDir tmp_{"qvimg"};
    const std::string dir_ = tmp_.path();
};

TEST_F(ImageCheck, DebugLinesShowWhereTheSumStopped) {
    // The position is that of the stored sum, or the end of an image that
    // ends before it, never before the range's start; a missing stored sum
    // reads 0.
    Bytes full;
    ASSERT_EQ(fwimage::build(13, "1.10", {}, full), "");
    const unsigned stored = full[0x7FFFE] * 256u + full[0x7FFFF];
    unsigned half = 0;
    for (long i = 0; i < 0x40000; i++) half += full[i];
    char line[200];
    std::snprintf(line, sizeof line, "Checksum 0x%X should be 0x%X\n", stored, stored);
    const std::string whole = line;
    std::snprintf(line, sizeof line, "Checksum 0x%X should be 0x0\n", half & 0xFFFF);
    const std::string cut = line;
    struct Case {
        std::size_t length;
        int type;
        std::string out;
    } cases[] = {
        {0x80000, 13, "Found drive type: 13\nChecksum pos: 0x7FFFE\n" + whole},
        {0x40000, 13, "Found drive type: -1\nChecksum pos: 0x40000\n" + cut},
        {0x100, 12, "Found drive type: -1\nChecksum pos: 0x4100\nChecksum 0x0 should be 0x0\n"},
        {0x80000, 10, "Found drive type: 13\n"},  // a type without a range prints nothing
    };
    for (const Case& c : cases) {
        Bytes image(full.begin(), full.begin() + static_cast<long>(c.length));
        EXPECT_EQ(Trace(image, c.type), c.out) << c.length;
    }
}

TEST_F(ImageCheck, FileThatCannotBeTakenIsRefused) {
    const std::string missing = dir_ + "/none.bin", fifo = dir_ + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const struct {
        std::string file, out;
    } rows[] = {
        {missing, "\aUnable to open file " + missing + "\n"},
        {fifo, "Invalid upgrade file\n"},
    };
    for (const auto& row : rows) {
        std::optional<std::vector<unsigned char>> image;
        EXPECT_EQ(qvtest::Capture([&] {
                      image = TakeUpgradeFile(fwimage::read_image_file(row.file.c_str()), row.file.c_str());
                  }).out,
                  row.out);
        EXPECT_EQ(image, std::nullopt);
    }
}

TEST_F(ImageCheck, ReadsNoMoreThanTheLargestTransfer) {
    Bytes image(0x80000 + 100, 0x42);
    std::string path = dir_ + "/long.bin";
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(std::fwrite(image.data(), 1, image.size(), f), image.size());
    std::fclose(f);
    EXPECT_EQ(TakeUpgradeFile(fwimage::read_image_file(path.c_str()), path.c_str()).value().size(), 0x80000u);
}

}  // namespace

// Every drive model that has an image takes it: the transfer its type
// calls for, piece by piece equal to the image, and the new version shows in
// the next listing.
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/harness.h"

namespace e2e {
namespace {

struct Model {
    int type;
    const char* product;  // what the drive reports
    const char* name;     // in "Upgrade %s (HA:..."
    const char* loaded;   // in "Upgrade file for %s loaded"
    const char* before;   // drive revision
    const char* after;    // image version
    int pieces;
    int piece_size;
};

const Model kModels[] = {
    {11, "*Loader Mode 1* ", "QV-G253K", "QV-G253K", "1.02", "1.06", 8, 32768},
    {12, "CD-ROM QV-B8NB  ", "QV-B8NB", "QV-B8NB", "1.04", "1.06", 16, 8192},
    {13, "CD-R   QV-G567L ", "QV-G567L", "QV-G567L", "1.00", "1.10", 64, 8192},
    {14, "CD-ROM QV-B8NV  ", "QV-B8NV", "QV-B8NV", "1.00", "1.10", 16, 8192},
    {15, "CD-R   QV-H3551L", "QV-H3551L", "QV-H3551L", "1.00", "1.10", 64, 8192},
    {16, "CD-R   QV-H7551L", "QV-H7551L", "QV-H7551L", "1.00", "1.10", 64, 8192},
    // A QV-B8NB with a 1.1x revision; its image is announced as a QV-B8NB.
    {17, "CD-ROM QV-B8NB  ", "QV-xxNB", "QV-B8NB", "1.10", "1.12", 16, 8192},
    {18, "CD-R   QV-H7763L", "QV-H7763L", "QV-H7763L", "1.00", "1.10", 64, 8192},
    {19, "CD-R   QV-H953NB", "QV-H953NB", "QV-H953NB", "1.00", "1.10", 64, 8192},
    {20, "CD-R   QV-H9549A", "QV-H9549A", "QV-H9549A", "1.00", "1.10", 64, 8192},
    {21, "CD-R   QV-H9549S", "QV-H9549S", "QV-H9549S", "1.00", "1.10", 64, 8192},
    {22, "CD-R   QV-H9749A", "QV-H9749A", "QV-H9749A", "1.00", "1.10", 64, 8192},
};

void PrintTo(const Model& m, std::ostream* os) { *os << "type " << m.type; }

class EveryModel : public ::testing::TestWithParam<Model> {};

TEST_P(EveryModel, TakesItsImage) {
    const Model& m = GetParam();
    const bool rom = m.type == 11;
    Sandbox box;
    box.SetBus("adapters 2\n" + Drive(1, 4, m.product, m.before));
    Bytes image = Image(m.type, m.after);
    std::string file = box.WriteFile("fw.bin", image);

    Result r = box.Run({file, "-all"}, "y\n");
    EXPECT_EQ(r.out, std::string(kBanner) + "Upgrade file for " + m.loaded + " loaded\n" + kWarning +
                         "Current firmware version: " + m.before + "\n" + "Upgrade " + m.name +
                         " (HA:1 ID:4) in progress...Done\n" +
                         (rom ? "New firmware version: " : "New firmware version    : ") + m.after + "\n");
    EXPECT_EQ(r.err, Yes(m.name, 1, 4, m.before, m.after));
    EXPECT_EQ(r.status, 0);

    std::vector<LogEntry> pieces = Execs(To(box.Log(), 1, 4), rom ? 0xE2 : 0x3B);
    ASSERT_EQ(pieces.size(), static_cast<std::size_t>(m.pieces));
    for (int p = 0; p < m.pieces; p++) {
        const LogEntry& e = pieces[p];
        SCOPED_TRACE(e.line);
        const bool closing = p == m.pieces - 1;
        EXPECT_EQ(e.cdb[1], rom ? (closing ? 0 : 1) : (closing ? 5 : 4));
        EXPECT_EQ(e.len, m.piece_size);
        ASSERT_TRUE(e.has_crc);
        EXPECT_EQ(e.crc, qvtest::crc32(image.data() + static_cast<long>(p) * m.piece_size,
                                       static_cast<std::size_t>(m.piece_size)));
    }

    // The listing shows the drive with its new version; a type 17 drive
    // still reports the QV-B8NB's product id. In loader mode the drive
    // reports the loader's revision, not that of the flash.
    r = box.Run({"-l"});
    EXPECT_EQ(r.out, std::string(kBanner) + "DRAVLIN " + m.product + " V" + (rom ? m.before : m.after) +
                         " (HA:1 ID:4)\n");
    EXPECT_EQ(r.status, 0);
}

INSTANTIATE_TEST_SUITE_P(Type, EveryModel, ::testing::ValuesIn(kModels),
                         [](const ::testing::TestParamInfo<Model>& info) {
                             return std::to_string(info.param.type);
                         });

}  // namespace
}  // namespace e2e

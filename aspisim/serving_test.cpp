#include "aspisim/serving.h"

#include <gtest/gtest.h>

#include "support/hexbytes.h"
#include "testing/testsupport.h"

namespace aspisim {
namespace {

TEST(Serving, CommandsOfADriveWithItsLog) {
    qvtest::TempDir dir;
    const std::string bus =
        "device 0 1 vendor=\"DRAVLIN \" product=\"CD-R   QV-G567L \" revision=\"1.00\"\n"
        "hang 0 1 0x00 2\n";
    qvtest::WriteFile(dir.Path("bus"),
                      std::span(reinterpret_cast<const unsigned char*>(bus.data()), bus.size()));
    Server server({"", dir.Path("bus"), dir.Path("log"), "", 0, 1});

    struct Row {
        std::uint8_t cdb[16];
        std::size_t cdb_len;
        std::uint32_t len;
        int status;        // -1: it hangs
        std::string data;  // the first bytes answered
    } rows[] = {
        // An adapter's failure (less data than the piece) leaves its sense for REQUEST SENSE.
        {{0x3B, 0x04, 0, 0, 0, 0, 0, 0x20, 0, 0}, 10, 100, 0x02, ""},
        {{0x03, 0, 0, 0, 18, 0}, 6, 18, 0x00, "70000B000000000A000000004B00"},
        {{0x00}, 6, 0, 0x02, ""},
        {{0x00}, 6, 0, -1, ""},
    };
    for (const Row& r : rows) {
        std::vector<std::uint8_t> data(r.len, 0);
        const std::optional<Answer> a = server.serve(r.cdb, r.cdb_len, data.data(), r.len);
        EXPECT_EQ(a ? a->status : -1, r.status);
        EXPECT_EQ(sup::hexbytes(data.data(), r.data.size() / 2), r.data);
    }
    EXPECT_EQ(qvtest::ReadFile(dir.Path("log")),
              "cdb=3B040000000000200000 len=100 status=02 sense=70000B000000000A000000004B0000000000\n"
              "cdb=030000001200 len=18 status=00\n"
              "cdb=000000000000 len=0 status=02 sense=700002000000000A000000003A0000000000\n"
              "cdb=000000000000 len=0 hangs\n");
}

}  // namespace
}  // namespace aspisim

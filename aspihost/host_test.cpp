// The ASPI front end over a fake back end: what it does itself with the
// blocks it is handed, whatever the back end. What the simulator's tests
// show of it through a whole layer is not shown again here: blocks without
// a CDB or a buffer, a block sent again while it runs, aborts of queued and
// hung commands, the sense area's bounds, the log's request lines and the
// recording's header, files that are no regular file, the first failed
// write said once.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "aspihost/host.h"
#include "aspihost/testing/faketarget.h"
#include "aspihost/testing/requests.h"
#include "testing/testsupport.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

const Bytes tur = {0, 0, 0, 0, 0, 0};

class Front : public testing::Test {
protected:
    ~Front() override {
        CloseHandle(event_);
        CloseHandle(other_);
    }

    // Sends a block and waits for it when it was queued.
    DWORD run(SRB_ExecSCSICmd& s) {
        ResetEvent(s.SRB_PostProc);
        const DWORD r = host_.send(&s);
        if (r == SS_PENDING) {
            EXPECT_EQ(WaitForSingleObject(s.SRB_PostProc, 5000), WAIT_OBJECT_0);
        }
        return r;
    }
    SRB_ExecSCSICmd exec(int target, const Bytes& cdb, std::uint8_t* buf = nullptr, std::uint32_t len = 0,
                         BYTE dir = 0) {
        return aspitest::block(0, target, cdb, buf, len, dir, event_);
    }
    static SRB_BusDeviceReset reset_block(int ha, int target, HANDLE event) {
        SRB_BusDeviceReset r{};
        r.SRB_Cmd = SC_RESET_DEV;
        r.SRB_HaId = static_cast<BYTE>(ha);
        r.SRB_Flags = SRB_EVENT_NOTIFY;
        r.SRB_Target = static_cast<BYTE>(target);
        r.SRB_PostProc = event;
        return r;
    }
    std::string log() const { return qvtest::UntimedLog(qvtest::ReadFile(dir_.Path("log"))); }

    qvtest::TempDir dir_{"aspihost-test"};
    aspihost::Host host_{aspitest::fake_layer, aspihost::Log::open_file("fake", dir_.Path("log").c_str())};
    aspitest::FakeTarget& target_ = *aspitest::made;
    HANDLE event_ = CreateEventA(nullptr, 1, 0, nullptr), other_ = CreateEventA(nullptr, 1, 0, nullptr);
};

// Each block reaches the back end with its address, CDB, direction and a
// copy of its data; what the back end answers comes back into the block,
// data only where it moves in, and goes to the log and the recording.
TEST_F(Front, BlocksReachTheTargetAndItsAnswersTheLogAndTheRecording) {
    const std::string rec = dir_.Path("rec");
    ASSERT_TRUE(host_.record_to(
        aspihost::LineFile::open("fake", "recording", rec.c_str(), aspihost::LineFile::Mode::create),
        "test"));
    // Field by field: g++ 12 at -O3 takes the sense of a braced Answer for
    // uninitialised.
    const auto answer = [&](BYTE status, BYTE targstat, Bytes sense, std::optional<std::uint32_t> resid,
                            Bytes data) {
        aspitest::Answer& a = target_.answers.emplace_back();
        a.result.status = status;
        a.result.targstat = targstat;
        a.result.sense = std::move(sense);
        a.result.resid = resid;
        a.data = std::move(data);
    };
    answer(SS_ERR, 0x02, {0x72, 0x03, 0x0C, 0x02}, {}, {9, 9, 9, 9});  // descriptor sense
    answer(SS_COMP, 0, {}, 4, {'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H'});
    std::uint8_t out[4] = {1, 2, 3, 4}, in[8] = {};
    SRB_ExecSCSICmd w = exec(1, {0x3B, 2, 0, 0, 0, 0, 0, 0, 4, 0}, out, 4, SRB_DIR_OUT);
    EXPECT_EQ(run(w), SS_PENDING);
    EXPECT_EQ(w.SRB_Status, SS_ERR);
    EXPECT_EQ(w.SRB_TargStat, 0x02);
    EXPECT_EQ(Bytes(w.SenseArea, w.SenseArea + 5), (Bytes{0x72, 0x03, 0x0C, 0x02, 0}));
    EXPECT_EQ(Bytes(out, out + 4), (Bytes{1, 2, 3, 4}));  // sent, never written
    SRB_ExecSCSICmd r = exec(2, {0x12, 0, 0, 0, 8, 0}, in, 8, SRB_DIR_IN);
    EXPECT_EQ(run(r), SS_PENDING);
    EXPECT_EQ(std::string(in, in + 8), "ABCDEFGH");
    SRB_BusDeviceReset reset = reset_block(0, 3, event_);
    ResetEvent(event_);
    ASSERT_EQ(host_.send(&reset), SS_PENDING);
    ASSERT_EQ(WaitForSingleObject(event_, 5000), WAIT_OBJECT_0);

    ASSERT_EQ(target_.seen.size(), 3u);
    const auto& sent = target_.seen[0];
    EXPECT_TRUE(sent.cmd.at == (aspihost::Address{0, 1, 0}) && sent.cmd.cdb_len == 10 &&
                sent.cmd.cdb[8] == 4);
    EXPECT_EQ(sent.data, (Bytes{1, 2, 3, 4}));
    EXPECT_EQ(sent.cmd.unit, &target_);  // what accept chose
    EXPECT_TRUE(target_.seen[2].reset && target_.seen[2].cmd.at == (aspihost::Address{0, 3, 0}));

    EXPECT_EQ(log(),
              "exec 0 1 0 flags=0x50 len=4 cdb=3B020000000000000400 crc32=B63CFBCD\n"
              "done 0 1 0 op=3B status=0x04 hastat=0x00 targstat=0x02 sense=03/0C/02 moved=0 seconds=T\n"
              "exec 0 2 0 flags=0x48 len=8 cdb=120000000800\n"
              "done 0 2 0 op=12 status=0x01 hastat=0x00 targstat=0x00 moved=4 seconds=T\n"
              "reset 0 3 0\n"
              "done 0 3 0 op=reset status=0x01 hastat=0x00 targstat=0x00 moved=0 seconds=T\n");
    const std::string kept = qvtest::UntimedLog(qvtest::ReadFile(rec));
    EXPECT_EQ(kept.substr(kept.find("\n1 exec") + 1),
              "1 exec 0 1 0 dir=out len=4 cdb=3B020000000000000400 crc32=B63CFBCD\n"
              "1 done status=0x04 hastat=0x00 targstat=0x02 sense=72030C02 seconds=T\n"
              "2 exec 0 2 0 dir=in len=8 cdb=120000000800\n"
              "2 done status=0x01 hastat=0x00 targstat=0x00 resid=4 seconds=T\n"
              "2 data 0000 41424344\n"
              "3 reset 0 3 0\n3 done status=0x01 hastat=0x00 seconds=T\n");
}

// What the front end refuses is answered at once, reaches no back end and
// reads no byte of a buffer it refused (the sanitizers watch the small
// one); a queue the back end holds holds none but its own.
TEST_F(Front, RefusalsAndQueues) {
    Bytes small(16), whole(aspihost::MAX_BUFFER);
    struct Row {
        const char* what;
        BYTE cdb_len;
        std::uint8_t* buf;
        std::uint32_t len;
        DWORD returns;
    } rows[] = {
        {"a CDB of 16 bytes", 16, nullptr, 0, SS_PENDING},
        {"a CDB of 17 bytes", 17, nullptr, 0, SS_INVALID_SRB},
        {"16 MiB", 6, whole.data(), aspihost::MAX_BUFFER, SS_PENDING},
        {"a byte more", 6, small.data(), aspihost::MAX_BUFFER + 1, SS_BUFFER_TO_BIG},
    };
    for (const Row& r : rows) {
        SRB_ExecSCSICmd s = exec(1, tur, r.buf, r.len, SRB_DIR_OUT);
        s.SRB_CDBLen = r.cdb_len;
        const std::size_t seen = target_.seen.size();
        EXPECT_EQ(run(s), r.returns) << r.what;
        EXPECT_EQ(s.SRB_Status, r.returns == SS_PENDING ? DWORD{SS_COMP} : r.returns) << r.what;
        EXPECT_EQ(target_.seen.size(), seen + (r.returns == SS_PENDING)) << r.what;
    }
    SRB_BusDeviceReset reset = reset_block(1, 0, nullptr);
    EXPECT_EQ(host_.send(&reset), SS_INVALID_HA);
    SRB_Abort abort{};
    abort.SRB_Cmd = SC_ABORT_SRB;
    abort.SRB_HaId = 1;
    EXPECT_EQ(host_.send(&abort), SS_INVALID_HA);
    SRB_Header unknown{};
    unknown.SRB_Cmd = 0x7F;
    EXPECT_EQ(host_.send(&unknown), SS_INVALID_CMD);

    target_.hold(1);
    reset = reset_block(0, 1, other_);
    ASSERT_EQ(host_.send(&reset), SS_PENDING);
    EXPECT_EQ(host_.send(&reset), SS_ASPI_IS_BUSY);  // its block is still the first one's
    SRB_ExecSCSICmd beside = exec(2, tur);
    EXPECT_EQ(run(beside), SS_PENDING);
    EXPECT_EQ(reset.SRB_Status, SS_PENDING);
    target_.let_go();
    ASSERT_EQ(WaitForSingleObject(other_, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(reset.SRB_Status, SS_COMP);

    char crc[9];
    std::snprintf(crc, sizeof crc, "%08X", qvtest::crc32(whole.data(), whole.size()));
    EXPECT_EQ(log(),
              "exec 0 1 0 flags=0x50 len=0 cdb=00000000000000000000000000000000\n"
              "done 0 1 0 op=00 status=0x01 hastat=0x00 targstat=0x00 moved=0 seconds=T\n"
              "exec 0 1 0 flags=0x50 len=0 cdb=00000000000000000000000000000000\n"
              "done 0 1 0 op=00 status=0xE0 hastat=0x00 targstat=0x00 moved=0 seconds=T\n"
              "exec 0 1 0 flags=0x50 len=16777216 cdb=000000000000 crc32=" +
                  std::string(crc) +
                  "\n"
                  "done 0 1 0 op=00 status=0x01 hastat=0x00 targstat=0x00 moved=16777216 seconds=T\n"
                  "exec 0 1 0 flags=0x50 len=16777217 cdb=000000000000\n"
                  "done 0 1 0 op=00 status=0xE6 hastat=0x00 targstat=0x00 moved=0 seconds=T\n"
                  "reset 1 0 0\n"
                  "done 1 0 0 op=reset status=0x81 hastat=0x00 targstat=0x00 moved=0 seconds=T\n"
                  "abort 1\n"
                  "unknown 0x7F 0\n"
                  "reset 0 1 0\n"
                  "reset 0 1 0\n"
                  "done 0 1 0 op=reset status=0xE5 hastat=0x00 targstat=0x00 moved=0 seconds=T\n"
                  "exec 0 2 0 flags=0x40 len=0 cdb=000000000000\n"
                  "done 0 2 0 op=00 status=0x01 hastat=0x00 targstat=0x00 moved=0 seconds=T\n"
                  "done 0 1 0 op=reset status=0x01 hastat=0x00 targstat=0x00 moved=0 seconds=T\n");
}

}  // namespace

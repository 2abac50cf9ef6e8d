// Session set-up on the scripted transport, in the test's own process.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "drivecmd/testing/drivetable.h"
#include "scg/scg.h"
#include "tool/testing/tooltest.h"

namespace {

using qvtest::Capture;
using qvtest::InquiryReply;
using qvtest::Said;

class SessionTest : public qvtest::ToolTest {
protected:
    // Two adapters: the maker's drive at 0/2, another maker's CD-ROM at 0/4,
    // a disk at 1/0.
    void TwoAdapters() {
        fake.buses = {0, 1};
        scg_fake::Reply disk = InquiryReply("HALCYON ", "HD-1080S        ", "0412");
        disk.data[0] = 0;
        qvtest::AnswerAsBus(fake, {{{0, 2}, InquiryReply("DRAVLIN ", "CD-R   QV-G567L ", "1.00")},
                                   {{0, 4}, InquiryReply("MERIDIAN", "CD-ROM MX-3240  ", "2.04")},
                                   {{1, 0}, disk}});
    }

    // What a set-up that returned left: the address for the single-target
    // mode, the drive table, the buffer and the handle's settings.
    std::string Summary(const SessionSetUp& set_up) const {
        const SCSI* h = link->handle();
        bool zeroed = true;
        for (unsigned char b : link->buffer()) zeroed = zeroed && b == 0;
        const Drive target = set_up.target.value_or(Drive{-1, -1});
        return "ha=" + std::to_string(target.ha) + " id=" + std::to_string(target.id) +
               " nhost=" + std::to_string(set_up.drives.nhost) + " drives=" + qvtest::Entries(set_up.drives) +
               " buffer=" + std::to_string(h->max_buffer) + (zeroed ? " zeroed" : " dirty") +
               " timeout=" + std::to_string(h->default_timeout) + " verbose=" + std::to_string(h->verbose) +
               " debug=" + std::to_string(h->debug_level) +
               " capacity=" + std::to_string(h->capacity_data[1]) + " silent=" + std::to_string(h->silent);
    }
};

// A transport buffer that does not come zeroed.
void* DirtyBuffer(SCSI* scgp, long amt) {
    scgp->dma_buffer_base = std::malloc(static_cast<std::size_t>(amt));
    std::memset(scgp->dma_buffer_base, 0xAA, static_cast<std::size_t>(amt));
    return scgp->dma_buffer_base;
}

void* NoBuffer(SCSI*, long) {
    errno = ENOMEM;
    return nullptr;
}

TEST_F(SessionTest, OpensScansAndTakesTheDevAddress) {
    const std::string opened_1_2 = "scsidev: '1,2,0'\nscsibus: 1 target: 2 lun: 0\n";
    const struct {
        const char* name;
        std::vector<std::string> args;
        std::string summary;
        std::string err;
        std::size_t commands;
    } rows[] = {
        // Targets 0 to 7 of both adapters, TEST UNIT READY and INQUIRY each.
        {"no address: every adapter, quietly",
         {},
         "ha=-1 id=-1 nhost=2 drives=(0,2) (0,4) buffer=40000 zeroed timeout=300 verbose=0 debug=0 "
         "capacity=2048 silent=0",
         "",
         2 * 8 * 2},
        // Nothing answers at 1/2; the entry is made all the same.
        {"dev= address: one entry, no command",
         {"dev=1,2,0"},
         "ha=1 id=2 nhost=2 drives=(1,2) buffer=40000 zeroed timeout=300 verbose=0 debug=0 capacity=2048 "
         "silent=0",
         opened_1_2,
         0},
        {"dev= overrides -ha:",
         {"dev=1,2,0", "-ha:5"},
         "ha=1 id=2 nhost=2 drives=(1,2) buffer=40000 zeroed timeout=300 verbose=0 debug=0 capacity=2048 "
         "silent=0",
         opened_1_2,
         0},
        {"empty dev= scans",
         {"dev="},
         "ha=-1 id=-1 nhost=2 drives=(0,2) (0,4) buffer=40000 zeroed timeout=300 verbose=0 debug=0 "
         "capacity=2048 silent=0",
         "scsidev: ''\nscsibus: -1 target: -1 lun: -1\n",
         2 * 8 * 2},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        fake.sent.clear();
        ops.scgo_getbuf = DirtyBuffer;
        TwoAdapters();
        SessionSetUp set_up;
        const Said said = Capture([&] { set_up = Open(row.args); });
        ASSERT_EQ(set_up.end, std::nullopt);
        EXPECT_EQ(Summary(set_up), row.summary);
        EXPECT_EQ(said.out, "");
        EXPECT_EQ(said.err, row.err);
        EXPECT_EQ(fake.sent.size(), row.commands);
    }
}

TEST_F(SessionTest, AnAdapterLimitOf32768IsEnoughAndAdapterGapsCount) {
    fake.maxdma = 32768;
    fake.buses = {0, 3};
    const SessionSetUp set_up = Open();
    ASSERT_EQ(set_up.end, std::nullopt);
    EXPECT_EQ(Summary(set_up),
              "ha=-1 id=-1 nhost=4 drives= buffer=32768 zeroed timeout=300 verbose=0 debug=0 capacity=2048 "
              "silent=0");
}

// Every failure returns what ends the run; nothing reaches a drive.
TEST_F(SessionTest, FailuresEndTheRun) {
    const std::string ilegal = "Ilegal HA/ID spec. Ommit -ha / -id and use correct dev= option\n";
    const std::string opened = "scsidev: '1,2,0'\nscsibus: 1 target: 2 lun: 0\n";
    const std::string bad = "Illegal value for busno, target or lun '0,16,0'";
    enum Transport { opens, refuses_saying_why, refuses, does_not_start, small_limit, no_buffer };
    const struct {
        const char* name;
        std::vector<std::string> args;
        Transport transport;
        RunEnd end;
        std::string out, err;
    } rows[] = {
        {"dev= with -id:0", {"dev=1,2,0", "-id:0"}, opens, RunEnd(1), ilegal, opened},
        {"dev= with -id:3", {"dev=1,2,0", "-id:3"}, opens, RunEnd(1), ilegal, opened},
        {"empty dev= with -id:",
         {"dev=", "-id:4"},
         opens,
         RunEnd(1),
         ilegal,
         "scsidev: ''\nscsibus: -1 target: -1 lun: -1\n"},
        {"a lun above 0",
         {"dev=0,2,1"},
         opens,
         RunEnd(1),
         "Illegal option 'dev=0,2,1', must use Lun 0\n",
         "scsidev: '0,2,1'\nscsibus: 0 target: 2 lun: 1\n"},
        {"open refused with a reason",
         {"dev=0,16,0"},
         refuses_saying_why,
         RunEnd(EINVAL, bad + ". Cannot open SCSI driver.\n", true),
         "",
         "scsidev: '0,16,0'\nscsibus: 0 target: 16 lun: 0\n"},
        {"open refused without a reason",
         {"dev=5,0,0"},
         refuses,
         RunEnd(ENXIO, "Cannot open SCSI driver.\n", true),
         "",
         "scsidev: '5,0,0'\nscsibus: 5 target: 0 lun: 0\n"},
        // A layer that could not start has said why: no error number.
        {"layer not started", {}, does_not_start, RunEnd(1, "Cannot open SCSI driver.\n"), "", ""},
        {"transfer limit below 32768",
         {},
         small_limit,
         RunEnd(-1, "Cannot get sufficient memory for DMA\n", true),
         "",
         ""},
        {"no buffer", {}, no_buffer, RunEnd(ENOMEM, "Cannot get SCSI I/O buffer.\n", true), "", ""},
        // A layer without the entries (the fake has none, as the simulator).
        {"a kernel name",
         {"dev=/dev/sg3"},
         opens,
         RunEnd(1, "this ASPI layer cannot address drives by name\n"),
         "",
         ""},
        {"H:C:T:L",
         {"dev=2:0:0:0"},
         opens,
         RunEnd(1, "this ASPI layer cannot address drives by name\n"),
         "",
         ""},
        {"--log",
         {"-l", "--log", "log"},
         opens,
         RunEnd(1, "this ASPI layer cannot keep a command log\n"),
         "",
         ""},
        {"--record",
         {"-l", "--record", "rec"},
         opens,
         RunEnd(1, "this ASPI layer cannot record its commands\n"),
         "",
         ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        fake.sent.clear();
        fake.buses = {0, 1};
        fake.maxdma = row.transport == small_limit ? 32767 : 64512;
        const bool refused = row.transport == refuses_saying_why || row.transport == refuses;
        fake.open_result = refused || row.transport == does_not_start ? -1 : 1;
        fake.on_open = [&](SCSI* scgp) {
            if (row.transport == refuses_saying_why) scg_printf(scgp, "%s", bad.c_str());
            errno = row.transport == refuses_saying_why ? EINVAL : refused ? ENXIO : 0;
        };
        ops.scgo_getbuf = row.transport == no_buffer ? NoBuffer : scg_fake::FakeTransport::ops.scgo_getbuf;
        std::optional<RunEnd> end;
        const Said said = Capture([&] { end = Open(row.args).end; });
        EXPECT_EQ(end, row.end);
        EXPECT_EQ(end ? end->message : "", row.end.message);
        EXPECT_EQ(said.out, row.out);
        EXPECT_EQ(said.err, row.err);
        EXPECT_TRUE(fake.sent.empty());
    }
}

}  // namespace

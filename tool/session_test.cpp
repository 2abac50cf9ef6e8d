// Session set-up against the simulated ASPI layer, and against a scripted
// transport where the ASPI layer's limits are fixed. Every case runs in a
// child process (tool/testing/simrun.h).
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "scg/scsihack.h"
#include "scg/testing/fake_transport.h"
#include "tool/qvupgrade.h"
#include "tool/testing/simrun.h"

namespace {

using qvtest::DriveTable;
using qvtest::SimRun;
using ::testing::ExitedWithCode;

// Two adapters: the maker's drive at 0/2, another maker's CD-ROM at 0/4, a
// disk at 1/0.
const char kBus[] =
    "adapters 2\n"
    "device 0 2 type=5 vendor=\"DRAVLIN \" product=\"CD-R   QV-G567L \" revision=\"1.00\"\n"
    "device 0 4 type=5 vendor=\"MERIDIAN\" product=\"CD-ROM MX-3240  \" revision=\"2.04\"\n"
    "device 1 0 type=0 vendor=\"HALCYON \" product=\"HD-1080S        \" revision=\"0412\"\n";

// What the child reports after a set-up that returned.
std::string Session(int ha, int id) {
    bool zeroed = true;
    for (long i = 0; i < scgp->max_buffer; i++) zeroed = zeroed && buffer[i] == 0;
    return "ha=" + std::to_string(ha) + " id=" + std::to_string(id) + " nhost=" + std::to_string(nhost) +
           " drives=" + DriveTable() + " buffer=" + std::to_string(scgp->max_buffer) +
           (zeroed ? " zeroed" : " dirty") + " timeout=" + std::to_string(scgp->default_timeout) +
           " verbose=" + std::to_string(scgp->verbose) + " debug=" + std::to_string(scgp->debug_level) +
           " capacity=" + std::to_string(scgp->capacity_data[1]) + " silent=" + std::to_string(scgp->silent);
}

// Runs initscsi in a child with the given dev= text (or none) and the
// command line's -ha:/-id: values; a set-up that returns reports Session()
// and exits 0.
void RunInitscsi(const SimRun& run, const char* devtext, int ha, int id) {
    run.Enter();
    initscsi(devtext, &ha, &id);
    run.Result(Session(ha, id));
    std::exit(0);
}

TEST(SessionDeathTest, WithoutAddressScansEveryAdapterQuietly) {
    SimRun run(kBus);
    EXPECT_EXIT(RunInitscsi(run, nullptr, 0, -1), ExitedWithCode(0), "");
    EXPECT_EQ(run.Results(),
              "ha=0 id=-1 nhost=2 drives=(0,2) (0,4) buffer=40000 zeroed timeout=300 "
              "verbose=0 debug=0 capacity=2048 silent=0\n");
    EXPECT_EQ(run.Out(), "");
    EXPECT_EQ(run.Err(), "");
    // Targets 0 to 7 of both adapters, TEST UNIT READY and INQUIRY each.
    EXPECT_EQ(run.Execs().size(), 2u * 8 * 2);
}

TEST(SessionDeathTest, DeviceAddressGivesTheTargetAndOneEntryWithoutCommands) {
    SimRun run(kBus);
    // Nothing answers at 1/2; the entry is made all the same.
    EXPECT_EXIT(RunInitscsi(run, "1,2,0", 0, -1), ExitedWithCode(0), "");
    EXPECT_EQ(run.Results(),
              "ha=1 id=2 nhost=2 drives=(1,2) buffer=40000 zeroed timeout=300 "
              "verbose=0 debug=0 capacity=2048 silent=0\n");
    EXPECT_EQ(run.Out(), "");
    EXPECT_EQ(run.Err(), "scsidev: '1,2,0'\nscsibus: 1 target: 2 lun: 0\n");
    EXPECT_TRUE(run.Execs().empty());
}

TEST(SessionDeathTest, DeviceAddressOverridesHaAndAcceptsAnExplicitNoTarget) {
    SimRun run(kBus);
    EXPECT_EXIT(RunInitscsi(run, "1,2,0", 5, -1), ExitedWithCode(0), "");
    EXPECT_EQ(run.Results().substr(0, 32), "ha=1 id=2 nhost=2 drives=(1,2) b");
    EXPECT_EQ(run.Out(), "");
}

TEST(SessionDeathTest, DeviceAddressWithATargetIdIsRefused) {
    for (int id : {0, 3, -2}) {
        SCOPED_TRACE(id);
        SimRun run(kBus);
        EXPECT_EXIT(RunInitscsi(run, "1,2,0", 0, id), ExitedWithCode(1), "");
        EXPECT_EQ(run.Out(), "Ilegal HA/ID spec. Ommit -ha / -id and use correct dev= option\n");
        EXPECT_EQ(run.Results(), "");
        EXPECT_TRUE(run.Execs().empty());
    }
}

TEST(SessionDeathTest, DeviceAddressWithALunAboveZeroIsRefusedShowingTheText) {
    SimRun run(kBus);
    EXPECT_EXIT(RunInitscsi(run, "0,0x2,1", 0, -1), ExitedWithCode(1), "");
    EXPECT_EQ(run.Out(), "Illegal option 'dev=0,0x2,1', must use Lun 0\n");
    EXPECT_TRUE(run.Execs().empty());
}

TEST(SessionDeathTest, EmptyDeviceTextScansLikeNoAddressButStillRefusesATarget) {
    SimRun run(kBus);
    EXPECT_EXIT(RunInitscsi(run, "", 0, -1), ExitedWithCode(0), "");
    EXPECT_EQ(run.Results().substr(0, 38), "ha=-1 id=-1 nhost=2 drives=(0,2) (0,4)");
    EXPECT_EQ(run.Out(), "");

    SimRun refused(kBus);
    EXPECT_EXIT(RunInitscsi(refused, "", 0, 4), ExitedWithCode(1), "");
    EXPECT_EQ(refused.Out(), "Ilegal HA/ID spec. Ommit -ha / -id and use correct dev= option\n");
}

TEST(SessionDeathTest, OpenFailureCarriesTheTransportsReason) {
    SimRun run(kBus);
    EXPECT_EXIT(RunInitscsi(run, "0,16,0", 0, -1), ExitedWithCode(EINVAL), "");
    EXPECT_EQ(run.Err(),
              "scsidev: '0,16,0'\nscsibus: 0 target: 16 lun: 0\n"
              "qvupdate: " +
                  std::string(std::strerror(EINVAL)) +
                  ". Illegal value for busno, target or lun '0,16,0'. Cannot open SCSI driver.\n");
    EXPECT_EQ(run.Out(), "");
}

TEST(SessionDeathTest, OpenFailureWithoutReasonAddsNoSeparator) {
    SimRun run(kBus);
    // Adapter 5 does not exist: the transport refuses without a text.
    EXPECT_EXIT(
        RunInitscsi(run, "5,0,0", 0, -1), [](int st) { return WIFEXITED(st); }, "");
    const std::string err = run.Err();
    const std::string head = "scsidev: '5,0,0'\nscsibus: 5 target: 0 lun: 0\nqvupdate: ";
    const std::string tail = ". Cannot open SCSI driver.\n";
    ASSERT_GE(err.size(), head.size() + tail.size());
    EXPECT_EQ(err.substr(0, head.size()), head);
    EXPECT_EQ(err.substr(err.size() - tail.size()), tail);
    EXPECT_EQ(err.find(". . "), std::string::npos);
}

// The ASPI transport's maximum transfer is fixed, so the buffer limits run
// on the scripted transport, installed where scg_open looks for ASPI.
void RunOnFake(const SimRun& run, long maxdma, std::vector<int> buses,
               void* (*getbuf)(SCSI*, long) = nullptr) {
    run.Enter();
    static scg_fake::FakeTransport fake;
    fake.maxdma = maxdma;
    fake.buses = std::move(buses);
    static scg_ops ops = scg_fake::FakeTransport::ops;
    if (getbuf != nullptr) ops.scgo_getbuf = getbuf;
    scg_set_std_transport(&ops);
    int ha = 0, id = -1;
    initscsi(nullptr, &ha, &id);
    run.Result(Session(ha, id));
    std::exit(0);
}

TEST(SessionDeathTest, TransferLimitOf32768IsEnoughAndAdapterGapsCount) {
    SimRun run;
    EXPECT_EXIT(RunOnFake(run, 32768, {0, 3}), ExitedWithCode(0), "");
    EXPECT_EQ(run.Results(),
              "ha=0 id=-1 nhost=4 drives= buffer=32768 zeroed timeout=300 "
              "verbose=0 debug=0 capacity=2048 silent=0\n");
}

TEST(SessionDeathTest, TransferLimitBelow32768EndsTheRun) {
    SimRun run;
    EXPECT_EXIT(RunOnFake(run, 32767, {0}), ExitedWithCode(255), "");
    EXPECT_EQ(run.Err(), "qvupdate: Cannot get sufficient memory for DMA\n");
    EXPECT_EQ(run.Results(), "");
}

TEST(SessionDeathTest, MissingBufferEndsTheRunWithTheErrorNumber) {
    SimRun run;
    auto no_buffer = [](SCSI*, long) -> void* {
        errno = ENOMEM;
        return nullptr;
    };
    EXPECT_EXIT(RunOnFake(run, 64512, {0}, no_buffer), ExitedWithCode(ENOMEM), "");
    EXPECT_EQ(run.Err(),
              "qvupdate: " + std::string(std::strerror(ENOMEM)) + ". Cannot get SCSI I/O buffer.\n");
}

}  // namespace

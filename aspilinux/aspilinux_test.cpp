// The Linux layer through its request blocks, over the fake kernel: sysfs
// trees in memory and a SCSI generic driver whose SG_IO is answered by the
// simulator's device model.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <scsi/sg.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "aspihost/host.h"
#include "aspihost/testing/requests.h"
#include "aspilinux/outcome.h"
#include "aspilinux/sgtarget.h"
#include "aspilinux/testing/fakekernel.h"
#include "platform/winevent.h"
#include "testing/testsupport.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

using aspilinux_fake::FakeKernel;
using aspilinux_fake::Reply;

FakeKernel* current = nullptr;
aspilinux::SgTarget* made = nullptr;
std::unique_ptr<aspihost::Target> make_target(aspihost::Log& log) {
    auto t = std::make_unique<aspilinux::SgTarget>(*current, log);
    made = t.get();
    return t;
}
const aspihost::Layer test_layer{"aspilinux", make_target};

class Linux : public testing::Test {
protected:
    void SetUp() override {
        unsetenv("ASPILINUX_LOG");
        tmp_.emplace("aspilinux-test");
        kernel_ = std::make_unique<FakeKernel>();
        current = kernel_.get();
        event_ = CreateEventA(nullptr, 1, 0, nullptr);
    }
    void TearDown() override {
        host_.reset();
        CloseHandle(event_);
        tmp_.reset();
    }

    // An sg node and its SCSI device; with a `place`, below hostH/targetH:C:T
    // there.
    void node(int sg, const std::string& hctl, int type, const std::string& model,
              const std::string& block = "", const std::string& place = "") {
        kernel_->plug({"sg" + std::to_string(sg), hctl, model, std::to_string(type), block, place});
    }
    void start() { host_ = std::make_unique<aspihost::Host>(test_layer); }
    static constexpr const char* kPort = "pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0";
    void fresh() {
        TearDown();
        SetUp();
    }

    DWORD send(void* srb) { return host_->send(srb); }

    SRB_ExecSCSICmd block(int ha, int target, const Bytes& cdb, std::uint8_t* buf, std::uint32_t len,
                          BYTE flags, int lun = 0) {
        return aspitest::block(ha, target, cdb, buf, len, flags, event_, lun);
    }
    SRB_ExecSCSICmd run(int ha, int target, const Bytes& cdb, std::uint8_t* buf = nullptr,
                        std::uint32_t len = 0, BYTE flags = 0, int lun = 0) {
        SRB_ExecSCSICmd s = block(ha, target, cdb, buf, len, flags, lun);
        ResetEvent(event_);
        if (send(&s) == SS_PENDING) {
            EXPECT_EQ(WaitForSingleObject(event_, 5000), WAIT_OBJECT_0);
        }
        return s;
    }
    BYTE devtype(int ha, int target, int lun, BYTE& type) {
        SRB_GDEVBlock g{};
        g.SRB_Cmd = SC_GET_DEV_TYPE;
        g.SRB_HaId = static_cast<BYTE>(ha);
        g.SRB_Target = static_cast<BYTE>(target);
        g.SRB_Lun = static_cast<BYTE>(lun);
        send(&g);
        type = g.SRB_DeviceType;
        return g.SRB_Status;
    }
    SRB_HAInquiry inquiry(int ha) {
        SRB_HAInquiry h{};
        h.SRB_Cmd = SC_HA_INQUIRY;
        h.SRB_HaId = static_cast<BYTE>(ha);
        send(&h);
        return h;
    }
    // The one drive most tests use: a QV-G567L on SATA with its block node.
    void one_drive() {
        node(0, "0:0:0:0", 5, "CD-R   QV-G567L", "sr0");
        start();
    }

    static Bytes write_buffer(std::uint32_t len) {
        return {0x3B, 4, 0, 0, 0, 0, std::uint8_t(len >> 16), std::uint8_t(len >> 8), std::uint8_t(len), 0};
    }

    std::string log() const { return tmp_->Path("log"); }

    std::optional<qvtest::TempDir> tmp_;
    std::unique_ptr<FakeKernel> kernel_;
    std::unique_ptr<aspihost::Host> host_;
    HANDLE event_ = nullptr;
};

const Bytes tur = {0, 0, 0, 0, 0, 0};
const Bytes inq = {0x12, 0, 0, 0, 96, 0};

TEST_F(Linux, DiscoveryFromSysfsAlone) {
    node(3, "0:0:0:0", 0, "DISK ONE", "sda");         // a disk beside the drives
    node(4, "0:0:1:0", 5, "CD-R   QV-G567L", "sr0");  // SATA
    node(1, "2:1:3:0", 5, "CD-ROM QV-G253K");         // second channel of host 2
    node(2, "2:0:1:0", 5, "CD-ROM QV-G253K");
    node(0, "7:0:0:0", 5, "CD-R   QV-G567L", "sr1");  // USB bridge
    node(5, "7:0:0:1", 5, "CD-ROM QV-G253K");         // and its second LUN
    kernel_->put("/sys/class/scsi_host/host7/proc_name", FakeKernel::file, "usb-storage\n");
    start();
    EXPECT_EQ(host_->support_info(), 0x0104u);  // (0,0) (2,0) (2,1) (7,0)

    struct Row {
        int ha, target, lun;
        BYTE status, type;
    } rows[] = {
        {0, 0, 0, SS_COMP, 0},       {0, 1, 0, SS_COMP, 5}, {0, 2, 0, SS_NO_DEVICE, 0},
        {1, 1, 0, SS_COMP, 5},       {2, 3, 0, SS_COMP, 5}, {2, 1, 0, SS_NO_DEVICE, 0},
        {3, 0, 0, SS_COMP, 5},       {3, 0, 1, SS_COMP, 5}, {3, 0, 2, SS_NO_DEVICE, 0},
        {4, 0, 0, SS_INVALID_HA, 0},
    };
    for (const Row& r : rows) {
        BYTE type = 0xEE;
        EXPECT_EQ(devtype(r.ha, r.target, r.lun, type), r.status) << r.ha << " " << r.target << " " << r.lun;
        if (r.status == SS_COMP) {
            EXPECT_EQ(type, r.type) << r.ha << " " << r.target << " " << r.lun;
        }
    }
    SRB_HAInquiry h = inquiry(3);
    EXPECT_EQ(h.SRB_Status, SS_COMP);
    EXPECT_EQ(h.HA_Count, 4);
    EXPECT_EQ(h.HA_SCSI_ID, 7);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(h.HA_Identifier), 16), "usb-storage     ");
    EXPECT_EQ(h.HA_Unique[4] | h.HA_Unique[5] << 8 | h.HA_Unique[6] << 16, 0x10000);
    EXPECT_TRUE(kernel_->opens.empty());  // nothing opened to find them

    // Once a device was opened, its adapter promises no more than it takes.
    kernel_->limit = 16384;
    EXPECT_EQ(run(3, 0, tur, nullptr, 0, 0, 1).SRB_Status, SS_ERR);  // no disc: check condition
    h = inquiry(3);
    EXPECT_EQ(h.HA_Unique[4] | h.HA_Unique[5] << 8 | h.HA_Unique[6] << 16, 16384);
}

TEST_F(Linux, AtMostEightAdapters) {
    for (int host = 0; host < 10; host++) node(host, std::to_string(host) + ":0:0:0", 5, "CD-ROM QV-G253K");
    start();
    EXPECT_EQ(host_->support_info(), 0x0108u);
    BYTE type;
    EXPECT_EQ(devtype(7, 0, 0, type), SS_COMP);
    EXPECT_EQ(devtype(8, 0, 0, type), SS_INVALID_HA);
}

// Numbers only as the kernel writes them: an entry named otherwise is not
// the node /dev/sgN of its number, an address or type written otherwise is
// not the one read from it.
TEST_F(Linux, NumbersAsTheKernelWritesThem) {
    struct Row {
        std::string name, hctl, type;
        DWORD support;
        BYTE devtype;
    } rows[] = {
        {"sg5", "0:0:1:0", "5", 0x0101, SS_COMP},
        {"sg05", "0:0:1:0", "5", SS_NO_ADAPTERS << 8, 0},
        {"sg+5", "0:0:1:0", "5", SS_NO_ADAPTERS << 8, 0},
        {"sg 5", "0:0:1:0", "5", SS_NO_ADAPTERS << 8, 0},
        {"sg4294967296", "0:0:1:0", "5", SS_NO_ADAPTERS << 8, 0},  // not /dev/sg0
        {"sg5", "0:0:01:0", "5", SS_NO_ADAPTERS << 8, 0},
        {"sg5", "+0:0:1:0", "5", SS_NO_ADAPTERS << 8, 0},
        {"sg5", "0: 0:1:0", "5", SS_NO_ADAPTERS << 8, 0},
        {"sg5", "0:0:1:0", "05", 0x0101, SS_NO_DEVICE},
        {"sg5", "0:0:1:0", "+5", 0x0101, SS_NO_DEVICE},
        {"sg5", "0:0:1:0", " 5", 0x0101, SS_NO_DEVICE},
        {"sg5", "0:0:1:0", "4294967301", 0x0101, SS_NO_DEVICE},  // not 5
    };
    for (const Row& r : rows) {
        fresh();
        kernel_->plug({r.name, r.hctl, "CD-R   QV-G567L", r.type});
        testing::internal::CaptureStderr();
        start();
        testing::internal::GetCapturedStderr();
        const std::string what = r.name + " " + r.hctl + " " + r.type;
        EXPECT_EQ(host_->support_info(), r.support) << what;
        if (r.support != 0x0101) continue;
        BYTE type = 0;
        EXPECT_EQ(devtype(0, 1, 0, type), r.devtype) << what;
        run(0, 1, tur);
        ASSERT_EQ(kernel_->opens.size(), 1u) << what;
        EXPECT_EQ(kernel_->opens[0].first, "/dev/" + r.name) << what;
    }
}

TEST_F(Linux, NoAdapters) {
    testing::internal::CaptureStderr();
    start();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "aspilinux: no SCSI generic devices in /sys/class/scsi_generic (is the sg module loaded? "
              "modprobe sg)\n");
    EXPECT_EQ(host_->support_info(), DWORD{SS_NO_ADAPTERS} << 8);
}

// Every way an SG_IO call can end, through the whole layer. Each is tried
// on a WRITE BUFFER, which must reach the kernel exactly once.
TEST_F(Linux, OutcomeTable) {
    one_drive();
    const Bytes check = qvtest::FixedSense(0x05, 0x24);
    struct Row {
        const char* what;
        Reply reply;
        std::uint32_t len;
        BYTE status, hastat, targstat;
    } rows[] = {
        // clang-format off
        {"ENODEV", {.err = ENODEV}, 8192, SS_NO_DEVICE, 0, 0},
        {"ENXIO", {.err = ENXIO}, 8192, SS_NO_DEVICE, 0, 0},
        {"EBUSY", {.err = EBUSY}, 8192, SS_ASPI_IS_BUSY, 0, 0},
        {"EMSGSIZE", {.err = EMSGSIZE}, 8192, SS_INVALID_SRB, 0, 0},
        {"EINVAL large", {.err = EINVAL}, 65536, SS_BUFFER_TO_BIG, 0, 0},
        {"ENOMEM large", {.err = ENOMEM}, 65536, SS_BUFFER_TO_BIG, 0, 0},
        {"EINVAL small", {.err = EINVAL}, 8192, SS_ERR, 0, 0},
        {"EIO", {.err = EIO}, 8192, SS_ERR, 0, 0},
        {"DID_TIME_OUT", {.host = aspilinux::DID_TIME_OUT}, 8192, SS_ERR, HASTAT_COMMAND_TIMEOUT, 0},
        {"DID_NO_CONNECT", {.host = aspilinux::DID_NO_CONNECT}, 8192, SS_ERR, HASTAT_SEL_TO, 0},
        {"DID_BAD_TARGET", {.host = aspilinux::DID_BAD_TARGET}, 8192, SS_ERR, HASTAT_SEL_TO, 0},
        {"DID_TRANSPORT_DISRUPTED", {.host = aspilinux::DID_TRANSPORT_DISRUPTED}, 8192, SS_ERR, HASTAT_SEL_TO, 0},
        {"DID_TRANSPORT_FAILFAST", {.host = aspilinux::DID_TRANSPORT_FAILFAST}, 8192, SS_ERR, HASTAT_SEL_TO, 0},
        {"DID_TRANSPORT_MARGINAL", {.host = aspilinux::DID_TRANSPORT_MARGINAL}, 8192, SS_ERR, HASTAT_SEL_TO, 0},
        {"DID_RESET", {.host = aspilinux::DID_RESET}, 8192, SS_ERR, HASTAT_BUS_RESET, 0},
        {"DID_PARITY", {.host = aspilinux::DID_PARITY}, 8192, SS_ERR, HASTAT_PARITY_ERROR, 0},
        {"DID_ERROR", {.host = 0x07}, 8192, SS_ERR, HASTAT_PHASE_ERR, 0},
        {"check condition", {.status = 0x02, .sense = check}, 8192, SS_ERR, 0, 0x02},
        {"reservation conflict", {.status = 0x18}, 8192, SS_ERR, 0, 0x18},
        {"good", Reply{}, 8192, SS_COMP, 0, 0},
        // Interrupted in the kernel: failed, and never sent again.
        {"EINTR", {.err = EINTR}, 8192, SS_ERR, 0, 0},
        // GOOD, but bytes that never reached the drive.
        {"none of it sent", {.resid = 8192}, 8192, SS_ERR, HASTAT_DO_DU, 0},
        {"one byte short", {.resid = 1}, 8192, SS_ERR, HASTAT_DO_DU, 0},
        {"check condition and short", {.status = 0x02, .resid = 8192, .sense = check}, 8192, SS_ERR, 0, 0x02},
        // The driver's own status: only OK and SENSE leave the SCSI status alone.
        {"DRIVER_SENSE", {.driver = aspilinux::DRIVER_SENSE}, 8192, SS_COMP, 0, 0},
        {"DRIVER_TIMEOUT", {.driver = aspilinux::DRIVER_TIMEOUT}, 8192, SS_ERR, HASTAT_COMMAND_TIMEOUT, 0},
        {"DRIVER_ERROR", {.driver = aspilinux::DRIVER_ERROR}, 8192, SS_ERR, HASTAT_PHASE_ERR, 0},
        {"DRIVER_HARD with a suggestion", {.driver = 0x10 | aspilinux::DRIVER_HARD}, 8192, SS_ERR, HASTAT_PHASE_ERR, 0},
        // clang-format on
    };
    Bytes data(65536, 0x5A);
    testing::internal::CaptureStderr();
    for (const Row& r : rows) {
        kernel_->replies = {r.reply};
        std::size_t calls = kernel_->sg_calls.size();
        SRB_ExecSCSICmd s = run(0, 0, write_buffer(r.len), data.data(), r.len, SRB_DIR_OUT);
        EXPECT_EQ(s.SRB_Status, r.status) << r.what;
        EXPECT_EQ(s.SRB_HaStat, r.hastat) << r.what;
        EXPECT_EQ(s.SRB_TargStat, r.targstat) << r.what;
        EXPECT_EQ(kernel_->sg_calls.size(), calls + 1) << r.what;
        EXPECT_EQ(kernel_->sg_calls.back().dxfer_direction, SG_DXFER_TO_DEV) << r.what;
        if (r.targstat == 0x02) {
            EXPECT_EQ(s.SenseArea[2], 0x05);
            EXPECT_EQ(s.SenseArea[12], 0x24);
        }
        // A device that went away is closed, looked up again and opened afresh.
        if (r.status == SS_NO_DEVICE) {
            int gone = kernel_->sg_fds.back();
            EXPECT_EQ(run(0, 0, tur).SRB_Status, SS_ERR) << r.what;
            EXPECT_NE(kernel_->sg_fds.back(), gone) << r.what;
            EXPECT_NE(std::find(kernel_->closed.begin(), kernel_->closed.end(), gone), kernel_->closed.end());
        }
    }
    // A short transfer is said, with what moved.
    const std::string dev = "aspilinux: /dev/sg0 (0:0:0:0, DRAVLIN CD-R   QV-G567L): command 3B moved ";
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              dev + "0 of 8192 bytes to the drive (a short transfer); it counts as failed\n" + dev +
                  "8191 of 8192 bytes to the drive (a short transfer); it counts as failed\n");
}

TEST_F(Linux, CommandsReachTheDeviceModel) {
    one_drive();
    std::uint8_t d[128];
    std::memset(d, 0xEE, sizeof d);
    SRB_ExecSCSICmd s = run(0, 0, inq, d, 96, SRB_DIR_IN);
    EXPECT_EQ(s.SRB_Status, SS_COMP);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(d + 8), 28), "DRAVLIN CD-R   QV-G567L 1.00");
    EXPECT_EQ(d[96], 0xEE);
    EXPECT_EQ(s.SRB_BufLen, 96u);  // no residual asked for

    kernel_->replies = {{.resid = 60}};  // a drive gives less than asked: no failure
    EXPECT_EQ(run(0, 0, inq, d, 96, SRB_DIR_IN).SRB_Status, SS_COMP);

    s = run(0, 0, tur);  // no disc
    EXPECT_EQ(s.SRB_Status, SS_ERR);
    EXPECT_EQ(s.SRB_TargStat, 0x02);
    EXPECT_EQ(s.SenseArea[12], 0x3A);

    const sg_io_hdr_t& h = kernel_->sg_calls[0];
    EXPECT_EQ(h.dxfer_direction, SG_DXFER_FROM_DEV);
    EXPECT_EQ(h.cmd_len, 6);
    EXPECT_EQ(h.timeout, 270000u);
    EXPECT_EQ(kernel_->sg_calls[2].dxfer_direction, SG_DXFER_NONE);
    // One exclusive open of the sg node for both; the block node is left alone.
    ASSERT_EQ(kernel_->opens.size(), 1u);
    EXPECT_EQ(kernel_->opens[0].first, "/dev/sg0");
    EXPECT_EQ(kernel_->opens[0].second, O_RDWR | O_NONBLOCK | O_EXCL | O_CLOEXEC);
}

TEST_F(Linux, ResidualAndSenseBounds) {
    one_drive();
    Bytes sense(18);
    for (std::size_t i = 0; i < sense.size(); i++) sense[i] = static_cast<std::uint8_t>(0x70 + i);
    std::uint8_t d[96];
    for (BYTE flags : {BYTE{SRB_DIR_IN}, BYTE{SRB_DIR_IN | SRB_ENABLE_RESIDUAL_COUNT}}) {
        kernel_->replies = {{.status = 0x02, .resid = 60, .sense = sense}};
        SRB_ExecSCSICmd s = block(0, 0, inq, d, 96, flags);
        s.SRB_SenseLen = 4;
        std::memset(s.SenseArea, 0xEE, sizeof s.SenseArea);
        ResetEvent(event_);
        ASSERT_EQ(send(&s), SS_PENDING);
        ASSERT_EQ(WaitForSingleObject(event_, 5000), WAIT_OBJECT_0);
        EXPECT_EQ(s.SRB_BufLen, flags & SRB_ENABLE_RESIDUAL_COUNT ? 60u : 96u);
        EXPECT_EQ(s.SenseArea[3], 0x73);
        EXPECT_EQ(s.SenseArea[4], 0xEE);
    }
}

TEST_F(Linux, BlockNodeHeldOnceTheDriveIsWritten) {
    one_drive();
    run(0, 0, tur);
    Bytes piece(8192);
    run(0, 0, write_buffer(8192), piece.data(), 8192, SRB_DIR_OUT);
    run(0, 0, write_buffer(8192), piece.data(), 8192, SRB_DIR_OUT);
    ASSERT_EQ(kernel_->opens.size(), 2u);
    EXPECT_EQ(kernel_->opens[1].first, "/dev/sr0");
    EXPECT_EQ(kernel_->opens[1].second, O_RDONLY | O_NONBLOCK | O_EXCL | O_CLOEXEC);
    host_.reset();
    EXPECT_EQ(kernel_->closed, (std::vector<int>{100, 101}));
}

// What a person sees when the layer cannot have the drive.
TEST_F(Linux, RefusedOpens) {
    struct Row {
        std::string node;
        int err;
        Bytes cdb;
        BYTE status;
        std::string message;
    } rows[] = {
        {"sg0", EACCES, tur, SS_NO_DEVICE,
         "aspilinux: cannot open /dev/sg0 (0:0:0:0, DRAVLIN CD-R   QV-G567L): Permission denied; run as "
         "root, or as a member of the group root that owns it\n"},
        {"sg0", EBUSY, tur, SS_ASPI_IS_BUSY,
         "aspilinux: the drive /dev/sg0 (0:0:0:0, DRAVLIN CD-R   QV-G567L) is in use by another program; "
         "close it and try again\n"},
        {"sr0", EBUSY, write_buffer(8192), SS_ASPI_IS_BUSY,
         "aspilinux: the drive /dev/sr0 (0:0:0:0, DRAVLIN CD-R   QV-G567L) is in use by another program (a "
         "mounted disc?); unmount it and try again\n"},
    };
    for (const Row& r : rows) {
        fresh();
        one_drive();
        kernel_->open_errors["/dev/" + r.node] = r.err;
        Bytes piece(8192);
        testing::internal::CaptureStderr();
        EXPECT_EQ(run(0, 0, r.cdb, piece.data(), r.cdb[0] ? 8192 : 0, SRB_DIR_OUT).SRB_Status, r.status);
        EXPECT_EQ(run(0, 0, r.cdb, piece.data(), r.cdb[0] ? 8192 : 0, SRB_DIR_OUT).SRB_Status, r.status);
        std::string err = testing::internal::GetCapturedStderr();
        std::string want = r.message;
        if (r.node == "sr0") want += want;  // each write is refused aloud
        EXPECT_EQ(err, want);
        EXPECT_TRUE(kernel_->sg_calls.empty());
    }
    // The refused address has no device from then on.
    fresh();
    one_drive();
    kernel_->open_errors["/dev/sg0"] = EACCES;
    testing::internal::CaptureStderr();
    run(0, 0, tur);
    testing::internal::GetCapturedStderr();
    BYTE type;
    EXPECT_EQ(devtype(0, 0, 0, type), SS_NO_DEVICE);
    EXPECT_EQ(kernel_->opens.size(), 1u);
}

TEST_F(Linux, DeviceReset) {
    one_drive();
    for (int refusal : {0, EACCES}) {
        kernel_->reset_err = refusal;
        SRB_BusDeviceReset r{};
        r.SRB_Cmd = SC_RESET_DEV;
        r.SRB_Flags = SRB_EVENT_NOTIFY;
        r.SRB_PostProc = event_;
        ResetEvent(event_);
        testing::internal::CaptureStderr();
        ASSERT_EQ(send(&r), SS_PENDING);
        ASSERT_EQ(WaitForSingleObject(event_, 5000), WAIT_OBJECT_0);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(r.SRB_Status, refusal ? SS_ERR : SS_COMP);
        EXPECT_EQ(err,
                  refusal ? "aspilinux: cannot reset /dev/sg0 (0:0:0:0, DRAVLIN CD-R   QV-G567L): Permission "
                            "denied; a device reset needs root\n"
                          : "");
    }
    EXPECT_EQ(kernel_->resets, (std::vector<int>{SG_SCSI_RESET_DEVICE, SG_SCSI_RESET_DEVICE}));
}

// A drive in use whose node went away (as after its firmware was written,
// when it restarts) and that comes back on a new host, under new names, is
// answered at its old address, found by what does not change: the folder
// above its hostH in the device tree, its vendor and model. Anything else
// stays where the kernel put it.
TEST_F(Linux, FollowsADriveByItsPlace) {
    const std::string g567l = "CD-R   QV-G567L", other_port = "pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0";
    struct Node {
        int sg;
        std::string hctl, model, place;
        bool early = false;  // there before the drive left
    };
    struct Row {
        const char* what;
        std::vector<Node> nodes;
        std::string taken;  // the node that answers at HA:0 ID:0 then; empty: none
        BYTE own;           // what HA:1 ID:0 has
        std::string said;
    } rows[] = {
        // clang-format off
        {"on a new host", {{1, "1:0:0:0", g567l, kPort}}, "sg1", SS_NO_DEVICE,
         "aspilinux: the drive at HA:0 ID:0 came back as /dev/sg1 (1:0:0:0)\n"},
        {"its node number again", {{0, "1:0:0:0", g567l, kPort}}, "sg0", SS_NO_DEVICE,
         "aspilinux: the drive at HA:0 ID:0 came back as /dev/sg0 (1:0:0:0)\n"},
        {"at its old address", {{1, "0:0:0:0", g567l, kPort}}, "sg1", SS_INVALID_HA, ""},
        {"another identity", {{1, "1:0:0:0", "CD-ROM QV-G253K", kPort}}, "", SS_COMP, ""},
        {"another place", {{1, "1:0:0:0", g567l, other_port}}, "", SS_COMP, ""},
        {"there before", {{1, "1:0:0:0", g567l, kPort, true}}, "", SS_COMP, ""},
        {"two candidates", {{1, "1:0:0:0", g567l, kPort}, {2, "2:0:0:0", g567l, kPort}}, "", SS_COMP,
         "aspilinux: the drive at HA:0 ID:0 could have come back as /dev/sg1 (1:0:0:0) or /dev/sg2 (2:0:0:0); "
         "it is not followed\n"},
        // clang-format on
    };
    std::uint8_t d[96];
    for (const Row& r : rows) {
        fresh();
        node(0, "0:0:0:0", 5, g567l, "", kPort);
        for (const Node& n : r.nodes)
            if (n.early) node(n.sg, n.hctl, 5, n.model, "", n.place);
        start();
        EXPECT_EQ(run(0, 0, inq, d, 96, SRB_DIR_IN).SRB_Status, SS_COMP) << r.what;
        kernel_->leave("sg0");
        EXPECT_EQ(run(0, 0, inq, d, 96, SRB_DIR_IN).SRB_Status, SS_NO_DEVICE) << r.what;
        for (const Node& n : r.nodes)
            if (!n.early) node(n.sg, n.hctl, 5, n.model, "", n.place);

        testing::internal::CaptureStderr();
        const BYTE status = run(0, 0, inq, d, 96, SRB_DIR_IN).SRB_Status;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), r.said) << r.what;
        EXPECT_EQ(status, r.taken.empty() ? SS_ERR : SS_COMP) << r.what;
        if (!r.taken.empty()) {
            EXPECT_EQ(kernel_->opens.back().first, "/dev/" + r.taken) << r.what;
            EXPECT_EQ(made->name_of({0, 0, 0}), "/dev/" + r.taken + " (" + r.nodes[0].hctl + ")");
        }
        BYTE type;
        EXPECT_EQ(devtype(1, 0, 0, type), r.own) << r.what;
    }
}

// The program gives up waiting while the command is still in the kernel:
// the abort cannot take it back, and its late outcome touches nothing.
TEST_F(Linux, AbortOfACommandInTheKernel) {
    setenv("ASPILINUX_LOG", log().c_str(), 1);
    one_drive();
    kernel_->hold();
    auto* data = new std::uint8_t[96];
    auto* s = new SRB_ExecSCSICmd(block(0, 0, inq, data, 96, SRB_DIR_IN));
    HANDLE ev = CreateEventA(nullptr, 1, 0, nullptr);
    s->SRB_PostProc = ev;
    ASSERT_EQ(send(s), SS_PENDING);
    kernel_->wait_held();
    SRB_Abort a{};
    a.SRB_Cmd = SC_ABORT_SRB;
    a.SRB_ToAbort = s;
    EXPECT_EQ(send(&a), SS_ABORT_FAIL);
    EXPECT_EQ(s->SRB_Status, SS_PENDING);
    delete s;  // ASan reports any later touch of these
    delete[] data;
    CloseHandle(ev);
    kernel_->release();
    EXPECT_EQ(run(0, 0, tur).SRB_Status, SS_ERR);  // the worker went on
    // Its outcome, which nobody saw, is logged as such.
    const std::string said = qvtest::UntimedLog(qvtest::ReadFile(log()));
    EXPECT_NE(
        said.find("done 0 0 0 op=12 status=0x01 hastat=0x00 targstat=0x00 moved=96 seconds=T abandoned\n"),
        std::string::npos)
        << said;
}

// Outcomes with the sense the driver gave and what a short transfer moved.
TEST_F(Linux, CommandLog) {
    setenv("ASPILINUX_LOG", log().c_str(), 1);
    one_drive();
    run(0, 0, tur);
    kernel_->replies = {{.resid = 1}};  // one byte short
    std::uint8_t zeros[4] = {};
    testing::internal::CaptureStderr();  // which says so, as checked above
    run(0, 0, write_buffer(4), zeros, 4, SRB_DIR_OUT);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(qvtest::UntimedLog(qvtest::ReadFile(log())),
              "exec 0 0 0 flags=0x40 len=0 cdb=000000000000\n"
              "done 0 0 0 op=00 status=0x04 hastat=0x00 targstat=0x02 sense=02/3A/00 moved=0 seconds=T\n"
              "exec 0 0 0 flags=0x50 len=4 cdb=3B040000000000000400 crc32=2144DF1C\n"
              "done 0 0 0 op=3B status=0x04 hastat=0x12 targstat=0x00 moved=3 seconds=T\n");
}

// The optional entry a program with a log option looks up, as in the
// simulator: it opens the file before the layer starts.
TEST_F(Linux, LogToTheFileAProgramChooses) {
    void* lib = dlopen(WNASPI32_LINUX_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    auto log_to = reinterpret_cast<int (*)(const char*)>(dlsym(lib, "ASPILogTo"));
    ASSERT_NE(log_to, nullptr);
    EXPECT_EQ(log_to(tmp_->Path("chosen").c_str()), 1);
    EXPECT_TRUE(std::filesystem::exists(tmp_->Path("chosen")));
}

}  // namespace

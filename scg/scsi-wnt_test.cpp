// Tests of the ASPI transport.
//
// The transport's library state is process-wide and the simulated ASPI layer
// reads its environment when it starts. The cases against the simulator run
// in the test's own process, each on a layer started afresh (AspiSim); the
// cases that depend on what the process finds beside its program run the
// small program aspi_probe in a folder of its own.
#include "scg/scsi-wnt.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "aspisim/testing/simenv.h"
#include "platform/winevent.h"
#include "scg/scg.h"
#include "support/utils.h"
#include "testing/testsupport.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

using qvtest::ReadFile;

std::string hex(const unsigned char* p, int n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (int i = 0; i < n; i++) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// Lines of the simulator's log that begin with `prefix`.
std::vector<std::string> log_lines(const std::string& log, const std::string& prefix) {
    std::vector<std::string> out;
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);) {
        if (line.compare(0, prefix.size(), prefix) == 0) out.push_back(lower(line));
    }
    return out;
}

fs::path build_dir() { return fs::read_symlink("/proc/self/exe").parent_path(); }

// Fills the handle's command record the way the drive command layer does.
void prepare(SCSI* scgp, std::initializer_list<unsigned char> cdb, void* addr, int size, int flags,
             int timeout = 0) {
    struct scg_cmd* sp = scgp->cmdrec;
    sup::fillbytes(sp, sizeof *sp, 0);
    sp->addr = addr;
    sp->size = size;
    sp->flags = flags | SCGF_DISCONNECT;
    sp->cdb_len = static_cast<int>(cdb.size());
    sp->sense_len = 18;
    sp->timeout = timeout;
    int i = 0;
    for (unsigned char b : cdb) sp->cdb[i++] = b;
    scgp->cmd_name = "test command";
}

// --- the simulated layer in the test's own process ---------------------------

// The simulator beside the test binary, as the transport loads it, set up
// afresh for each test: its environment (the log and the state in a folder
// of the test's own), then the transport's library state forgotten and the
// layer, if it is still mapped, told to read its environment again at its
// next call, so that the next open loads it as a new process would.
class AspiSim : public testing::Test {
protected:
    void SetUp() override { Restart(); }
    void TearDown() override { Restart(); }

    // The bus (and the factor on command waits) of the next load.
    void Bus(const char* text, const char* time_scale = nullptr) {
        std::ofstream(dir_.Path("bus")) << text;
        env_.set("ASPISIM_BUS", dir_.Path("bus"));
        if (time_scale != nullptr) env_.set("ASPISIM_TIME_SCALE", time_scale);
        Restart();
    }

    // Opens an address, null when that failed; what the layer says of
    // itself as it starts is kept off the test's output.
    static SCSI* Open(const char* dev, char (&errs)[256]) {
        qvtest::StderrCapture announcement;
        return scg_open(dev, errs, sizeof errs, 0, 0);
    }
    static SCSI* Open(const char* dev) {
        char errs[256];
        return Open(dev, errs);
    }

    std::string log() const { return ReadFile(dir_.Path("log")); }

private:
    static void Restart() {
        scg_wnt::aspi_library().reset();
        const std::string layer = (build_dir() / "WNASPI32").string();
        if (void* lib = dlopen(layer.c_str(), RTLD_NOW | RTLD_NOLOAD)) {
            if (auto reload = reinterpret_cast<void (*)()>(dlsym(lib, "aspisim_reload"))) reload();
            dlclose(lib);
        }
    }

    qvtest::TempDir dir_{"qv-wnt"};
    simtest::SimEnvironment env_{{"ASPISIM_LOG", dir_.Path("log")}, {"ASPISIM_STATE", dir_.Path("state")}};
};

// "bus,target,lun,fd" of a handle.
std::string address(const SCSI* scgp) {
    return std::to_string(scgp->scsibus) + "," + std::to_string(scgp->target) + "," +
           std::to_string(scgp->lun) + "," + std::to_string(scgp->fd);
}

// --- pure functions ----------------------------------------------------------

TEST(AspiStatusMap, StatusAloneDecidesClassAndErrno) {
    struct Row {
        int status, error, ux_errno;
    };
    // One row of each kind, the exceptions among the fatal ones, and values
    // ASPI does not publish (a transient failure).
    const Row rows[] = {
        {0x01, SCGE_NONE, 0},           {0x00, SCGE_RETRYABLE, EIO}, {0x04, SCGE_RETRYABLE, EIO},
        {0x82, SCGE_FATAL, EINVAL},     {0xE1, SCGE_FATAL, EFAULT},  {0xE5, SCGE_RETRYABLE, EBUSY},
        {0xE6, SCGE_RETRYABLE, ENOMEM}, {0xE8, SCGE_FATAL, EINVAL},  {0xE9, SCGE_RETRYABLE, ENOMEM},
        {0xEB, SCGE_FATAL, EINVAL},     {0x05, SCGE_RETRYABLE, EIO}, {0xEC, SCGE_RETRYABLE, EIO},
        {0xFF, SCGE_RETRYABLE, EIO},
    };
    for (const Row& row : rows) {
        SRB_ExecSCSICmd s{};
        s.SRB_Status = static_cast<BYTE>(row.status);
        s.SRB_HaStat = HASTAT_SEL_TO;  // only SRB_Status decides
        s.SRB_TargStat = 0x02;
        struct scg_cmd rec {};
        rec.error = 99;
        rec.ux_errno = 99;
        scg_wnt::set_error(&s, &rec);
        EXPECT_EQ(rec.error, row.error) << "status 0x" << std::hex << row.status;
        EXPECT_EQ(rec.ux_errno, row.ux_errno) << "status 0x" << std::hex << row.status;
    }
}

TEST(AspiSense, CopyStaysInsideBothSenseBuffers) {
    SRB_ExecSCSICmd s{};
    for (int i = 0; i < static_cast<int>(sizeof s.SenseArea); i++) {
        s.SenseArea[i] = static_cast<BYTE>(0x70 + i);
    }
    s.SRB_SenseLen = SENSE_LEN;
    s.SRB_TargStat = 0x02;

    struct Case {
        int sense_len;
        int copied;    // bytes taken from the sense area
        int received;  // sense_received
    };
    const Case cases[] = {
        {18, 16, 14}, {32, 16, 14}, {1000, 16, 14}, {14, 14, 14},
        {2, 2, 2},    {0, 0, 0},    {-1, 0, 0},     {INT_MIN, 0, 0},
    };
    for (const Case& c : cases) {
        struct scg_cmd rec {};
        std::memset(rec.sense, 0xAA, sizeof rec.sense);
        rec.sense_len = c.sense_len;
        scg_wnt::copy_sensedata(&s, &rec);
        SCOPED_TRACE("sense_len " + std::to_string(c.sense_len));
        EXPECT_EQ(rec.sense_received, c.received);
        EXPECT_EQ(rec.status[0], 0x02);
        for (int i = 0; i < SCG_MAX_SENSE; i++) {
            int want = i < c.copied ? 0x70 + i : (i < 4 ? 0 : 0xAA);
            EXPECT_EQ(rec.sense[i], want) << "byte " << i;
        }
    }
}

TEST(AspiSense, ReceivedCountNeverExceedsTheBytesCopied) {
    SRB_ExecSCSICmd s{};
    s.SRB_SenseLen = 255;  // whatever the block claims
    struct scg_cmd rec {};
    rec.sense_len = 32;
    scg_wnt::copy_sensedata(&s, &rec);
    EXPECT_EQ(rec.sense_received, static_cast<int>(sizeof s.SenseArea));
}

TEST(AspiWait, SecondsBecomeMillisecondsWithoutWrapping) {
    EXPECT_EQ(scg_wnt::wait_millis(300), 300000u);
    EXPECT_EQ(scg_wnt::wait_millis(1), 1000u);
    EXPECT_EQ(scg_wnt::wait_millis(0), 0u);
    EXPECT_EQ(scg_wnt::wait_millis(-1), 0u);
    EXPECT_EQ(scg_wnt::wait_millis(INT_MIN), 0u);
    // The longest that still fits exactly, and the first that does not.
    EXPECT_EQ(scg_wnt::wait_millis(4294967), 4294967000u);
    EXPECT_EQ(scg_wnt::wait_millis(4294968), 0xFFFFFFFEu);
    EXPECT_EQ(scg_wnt::wait_millis(INT_MAX), 0xFFFFFFFEu);
    EXPECT_NE(scg_wnt::wait_millis(INT_MAX), static_cast<std::uint32_t>(INFINITE));
    // A simulated layer's factor; anything but a positive, finite one
    // leaves the wait as it is.
    EXPECT_EQ(scg_wnt::wait_millis(300, 0.001), 300u);
    EXPECT_EQ(scg_wnt::wait_millis(INT_MAX, 1e300), 0xFFFFFFFEu);
    for (double bad : {0.0, -0.5, HUGE_VAL, double{NAN}})
        EXPECT_EQ(scg_wnt::wait_millis(300, bad), 300000u) << bad;
}

TEST(AspiOps, ConstantAnswers) {
    SCSI* scgp = scg_smalloc();
    ASSERT_NE(scgp, nullptr);
    const scg_ops& ops = scg_std_ops;
    EXPECT_STREQ(ops.scgo_version(scgp, SCGV_VERSION), "scsi-wnt-1.27");
    EXPECT_STREQ(ops.scgo_version(scgp, SCGV_AUTHOR), "quisto");
    ASSERT_NE(ops.scgo_version(scgp, SCGV_ID), nullptr);
    EXPECT_NE(std::strstr(ops.scgo_version(scgp, SCGV_ID), "scsi-wnt"), nullptr);
    EXPECT_EQ(ops.scgo_version(scgp, 3), nullptr);
    EXPECT_EQ(ops.scgo_version(scgp, -1), nullptr);
    EXPECT_EQ(ops.scgo_version(nullptr, SCGV_VERSION), nullptr);
    EXPECT_EQ(ops.scgo_maxdma(scgp, 0), 64512);
    EXPECT_EQ(ops.scgo_maxdma(scgp, 1 << 20), 64512);
    EXPECT_EQ(ops.scgo_isatapi(scgp), -1);
    scg_sfree(scgp);
}

TEST(AspiOps, ResetCodesOtherThanTwoNeverReachTheDevice) {
    SCSI* scgp = scg_smalloc();
    ASSERT_NE(scgp, nullptr);
    errno = 0;
    EXPECT_EQ(scg_std_ops.scgo_reset(scgp, 0), 0);
    EXPECT_EQ(errno, 0);
    for (int code : {1, 3, -1}) {
        errno = 0;
        EXPECT_EQ(scg_std_ops.scgo_reset(scgp, code), -1);
        EXPECT_EQ(errno, EINVAL);
    }
    scg_sfree(scgp);
}

// --- opens refused before the library is touched ----------------------------

TEST(AspiOpen, AddressesOutsideTheLimitsAreRefusedWithTheirText) {
    struct Case {
        const char* dev;
        const char* text;
    };
    const Case cases[] = {
        {"0,16,0", "Illegal value for busno, target or lun '0,16,0'"},
        {"16,0,0", "Illegal value for busno, target or lun '16,0,0'"},
        {"0,0,8", "Illegal value for busno, target or lun '0,0,8'"},
        {"cdrom", "Open by 'devname' not supported on this OS"},
        {"cdrom:1,2,0", "Open by 'devname' not supported on this OS"},
        {"cdrom:@", "Open by 'devname' not supported on this OS"},
    };
    for (const Case& c : cases) {
        char errs[256];
        std::memset(errs, 'x', sizeof errs);
        errno = 0;
        EXPECT_EQ(scg_open(c.dev, errs, sizeof errs, 0, 0), nullptr) << c.dev;
        EXPECT_EQ(errno, EINVAL) << c.dev;
        EXPECT_STREQ(errs, c.text) << c.dev;
    }
}

TEST(AspiOpen, TargetAndLunMustBothBeSetOrBothUnset) {
    const int addrs[][3] = {{0, 3, -1}, {0, -1, 0}, {0, 3, -3}, {0, -3, -3}};
    for (const auto& a : addrs) {
        SCSI* scgp = scg_smalloc();
        ASSERT_NE(scgp, nullptr);
        scgp->scsibus = a[0];
        scgp->target = a[1];
        scgp->lun = a[2];
        errno = 0;
        EXPECT_EQ(scg_std_ops.scgo_open(scgp, nullptr), -1) << a[1] << "," << a[2];
        EXPECT_EQ(errno, EINVAL);
        EXPECT_STREQ(scgp->errbuf, "");
        scg_sfree(scgp);
    }
}

// --- no library loaded ---------------------------------------------------------

TEST(AspiUnloaded, EveryCallFailsWithItsOwnReport) {
    scg_wnt::aspi_library().reset();
    SCSI* scgp = scg_smalloc();
    scgp->scsibus = 0;
    scgp->target = 2;
    scgp->lun = 0;
    scgp->fd = 1;
    qvtest::CapturedStream err;
    scgp->err_stream = err;
    EXPECT_FALSE(scg_wnt::aspi_library().loaded());
    prepare(scgp, {0, 0, 0, 0, 0, 0}, nullptr, 0, 0);
    {
        qvtest::StderrCapture reported;  // through the error functions, below
        EXPECT_EQ(scg_std_ops.scgo_send(scgp), -1);
    }
    EXPECT_EQ(scgp->cmdrec->error, SCGE_FATAL);
    EXPECT_EQ(scg_std_ops.scgo_reset(scgp, 2), -1);
    SRB_ExecSCSICmd s{};
    EXPECT_EQ(scg_wnt::scsiabort(scgp, &s), 0);
    SRB_HAInquiry inq{};
    EXPECT_EQ(scg_wnt::ha_inquiry(scgp, 0, &inq), -1);
    EXPECT_EQ(scg_std_ops.scgo_initiator_id(scgp), -1);
    EXPECT_EQ(err.text(),
              "error in scgo_reset: ASPI driver not loaded !\n"
              "error in scsiabort: ASPI driver not loaded !\n");
    scgp->err_stream = stderr;
    scg_sfree(scgp);
}

TEST(AspiUnloaded, SendReportsThroughTheErrorFunctions) {
    scg_wnt::aspi_library().reset();
    SCSI* scgp = scg_smalloc();
    prepare(scgp, {0, 0, 0, 0, 0, 0}, nullptr, 0, 0);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(scg_std_ops.scgo_send(scgp), -1);
    std::fflush(stderr);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(scgp->cmdrec->error, SCGE_FATAL);
    const std::string tail = ": error in scgo_send: ASPI driver not loaded.\n";
    EXPECT_TRUE(err.size() > tail.size() && err.ends_with(tail)) << err;
    scg_sfree(scgp);
}

// --- against the simulator -------------------------------------------------------

TEST_F(AspiSim, OpenWithoutAddressSelectsNothingAndCountsAdapters) {
    char errs[256] = "untouched";
    SCSI* scgp = Open(nullptr, errs);
    ASSERT_NE(scgp, nullptr);
    EXPECT_EQ(address(scgp), "-1,-1,-1,-1");
    EXPECT_STREQ(errs, "");
    EXPECT_EQ(scg_wnt::aspi_library().busses(), 2);  // the built-in bus has two adapters
    std::string bus;
    for (int b : {-1, 0, 1, 2}) bus += std::to_string(scg_havebus(scgp, b));
    EXPECT_EQ(bus, "0110");
    EXPECT_EQ(scg_initiator_id(scgp), -1);
    std::string fds;
    const int addrs[][3] = {{0, 2, 0}, {1, 15, 7}, {0, 16, 0}, {0, 2, 8}, {2, 0, 0}, {-1, 0, 0}, {0, -1, 0}};
    for (const auto& a : addrs) fds += std::to_string(scg_settarget(scgp, a[0], a[1], a[2])) + ";";
    EXPECT_EQ(fds, "1;1;-1;-1;-1;-1;-1;");
    scg_settarget(scgp, 0, 2, 0);
    EXPECT_EQ(scg_initiator_id(scgp), 7);
    EXPECT_EQ(scg_bufsize(scgp, 0), 64512);
    EXPECT_STREQ(scg_version(scgp, SCGV_VERSION), "scsi-wnt-1.27");
    scg_close(scgp);
    EXPECT_FALSE(scg_wnt::aspi_library().loaded());
}

TEST_F(AspiSim, OpenWithAddressAndABusBeyondTheAdapters) {
    SCSI* scgp = Open("1,2,0");
    ASSERT_NE(scgp, nullptr);
    EXPECT_EQ(address(scgp), "1,2,0,1");
    // A bus the library does not have unloads the library for everyone.
    char errs[256] = "untouched";
    EXPECT_EQ(Open("5,0,0", errs), nullptr);
    EXPECT_STREQ(errs, "");
    EXPECT_FALSE(scg_wnt::aspi_library().loaded());
    scg_close(scgp);
}

TEST_F(AspiSim, DirectionFlagsAndCdbReachAspiAsGiven) {
    SCSI* scgp = Open("0,2,0");
    ASSERT_NE(scgp, nullptr);
    unsigned char inq[36] = {};
    prepare(scgp, {0x12, 0, 0, 0, 36, 0, 0, 0, 0, 0, 0, 0}, inq, sizeof inq, SCGF_RECV);
    EXPECT_EQ(scg_cmd(scgp), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(inq) + 8, 8), "DRAVLIN ");
    EXPECT_EQ(scgp->cmdrec->error, 0);
    EXPECT_EQ(scgp->cmdrec->status[0], 0);
    EXPECT_EQ(scgp->cmdrec->resid, 0);
    // What the device answers (it holds no disc) does not matter here, only
    // what reached ASPI.
    scgp->silent++;
    prepare(scgp, {0x00, 0, 0, 0, 0, 0}, nullptr, 0, 0);
    scg_cmd(scgp);
    unsigned char out[4] = {1, 2, 3, 4};
    prepare(scgp, {0x3B, 0x02, 0, 0, 0, 0, 0, 0, 4, 0}, out, sizeof out, 0);
    scg_cmd(scgp);
    scgp->silent--;
    scg_close(scgp);
    auto exec = log_lines(log(), "exec ");
    ASSERT_EQ(exec.size(), 3u) << log();
    // The simulated adapter reports residual counts: a transfer asks for one.
    EXPECT_EQ(exec[0], "exec 0 2 0 flags=0x4c len=36 cdb=120000002400000000000000");
    EXPECT_EQ(exec[1], "exec 0 2 0 flags=0x40 len=0 cdb=000000000000");
    EXPECT_EQ(exec[2].rfind("exec 0 2 0 flags=0x54 len=4 cdb=3b020000000000000400 ", 0), 0u) << exec[2];
}

TEST_F(AspiSim, RecordsThatDescribeNoRealBufferAreNotSent) {
    SCSI* scgp = Open("0,2,0");
    ASSERT_NE(scgp, nullptr);
    qvtest::CapturedStream err;
    scgp->err_stream = err;
    unsigned char buf[16];
    const struct {
        const char* tag;
        int cdb_len, size;
        void* addr;
    } bad[] = {
        {"cdb17", 17, 0, nullptr},
        {"cdbneg", -1, 0, nullptr},
        {"sizeneg", 6, -1, buf},
        {"noaddr", 6, 16, nullptr},
    };
    for (const auto& b : bad) {
        SCOPED_TRACE(b.tag);
        prepare(scgp, {0x12, 0, 0, 0, 16, 0}, b.addr, b.size, SCGF_RECV);
        scgp->cmdrec->cdb_len = b.cdb_len;
        EXPECT_EQ(scg_std_ops.scgo_send(scgp), -1);
        EXPECT_EQ(scgp->cmdrec->error, SCGE_FATAL);
        EXPECT_EQ(scgp->cmdrec->ux_errno, EINVAL);
    }
    // An address the transport does not have is never sent either.
    scg_settarget(scgp, 0, 16, 0);
    prepare(scgp, {0, 0, 0, 0, 0, 0}, nullptr, 0, 0);
    errno = 0;
    EXPECT_EQ(scg_std_ops.scgo_send(scgp), -1);
    EXPECT_EQ(scgp->cmdrec->error, SCGE_FATAL);
    EXPECT_EQ(errno, EINVAL) << "the send's own, for the report of scg_cmd";
    EXPECT_EQ(err.text(),
              "sp->cdb_len > sizeof(SRB_ExecSCSICmd.CDBByte). Fatal error in scgo_send, "
              "exiting...\n");
    scgp->err_stream = stderr;
    scg_close(scgp);
    EXPECT_TRUE(log_lines(log(), "exec ").empty()) << log();
}

TEST_F(AspiSim, FailedCompletionsAreMappedWithStatusAndSense) {
    Bus("device 0 2 medium=yes\n"
        "fail 0 2 0x00 1 status=0x04 targstat=0x02 "
        "sense=700006000000000a000000002900000011223344\n"
        "fail 0 2 0x00 2 status=0xE1 targstat=0x00\n"
        "fail 0 2 0x00 3 status=0xE5 targstat=0x00\n");
    SCSI* scgp = Open("0,2,0");
    ASSERT_NE(scgp, nullptr);
    qvtest::CapturedStream err;
    scgp->err_stream = err;
    scgp->silent++;
    const struct {
        const char* tag;
        int error, ux_errno;
    } rows[] = {
        {"check", SCGE_RETRYABLE, EIO},
        {"e1", SCGE_FATAL, EFAULT},
        {"e5", SCGE_RETRYABLE, EBUSY},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.tag);
        prepare(scgp, {0x00, 0, 0, 0, 0, 0}, nullptr, 0, 0);
        EXPECT_EQ(scg_cmd(scgp), -1);
        const struct scg_cmd* sp = scgp->cmdrec;
        EXPECT_EQ(sp->error, row.error);
        EXPECT_EQ(sp->ux_errno, row.ux_errno);
        if (std::string(row.tag) == "check") {
            EXPECT_EQ(sp->status[0], 2);
            EXPECT_EQ(sp->sense_received, 14);
            // ASPI fills the 14 bytes asked for; the copy takes the whole
            // 16-byte area and nothing beyond it.
            EXPECT_EQ(hex(sp->sense, 18), "700006000000000a00000000290000000000");
            EXPECT_EQ(sp->resid, 0);
            scgp->debug_level = 1;
        }
    }
    scgp->debug_level = 0;
    prepare(scgp, {0x00, 0, 0, 0, 0, 0}, nullptr, 0, 0);
    EXPECT_EQ(scg_cmd(scgp), 0);
    scgp->silent--;
    EXPECT_EQ(err.text(),
              "Error in scgo_send: s.SRB_Status is 0xe1\n"
              "Mapped to: error 2 errno: 14\n"
              "Error in scgo_send: s.SRB_Status is 0xe5\n"
              "Mapped to: error 1 errno: 16\n");
    scgp->err_stream = stderr;
    scg_close(scgp);
}

TEST_F(AspiSim, HungCommandTimesOutAndIsAborted) {
    // One second of time-out, shrunk twentyfold by the simulated layer.
    Bus("device 0 2 medium=yes\nhang 0 2 0x00 1\n", "0.05");
    SCSI* scgp = Open("0,2,0");
    ASSERT_NE(scgp, nullptr);
    qvtest::CapturedStream err;
    scgp->err_stream = err;
    scg_settimeout(scgp, 1);
    scgp->silent++;
    scgp->debug_level = 1;
    prepare(scgp, {0x00, 0, 0, 0, 0, 0}, nullptr, 0, 0, 1);
    EXPECT_EQ(scg_cmd(scgp), -1);
    EXPECT_EQ(scgp->cmdrec->error, SCGE_TIMEOUT);
    EXPECT_EQ(scgp->cmdrec->status[0], 0);
    scgp->debug_level = 0;
    prepare(scgp, {0x00, 0, 0, 0, 0, 0}, nullptr, 0, 0, 1);
    EXPECT_EQ(scg_cmd(scgp), 0);
    scgp->silent--;
    EXPECT_EQ(err.text(),
              "Timeout....\n"
              "Attempting to abort SCSI command\n"
              "Abort SCSI command completed\n");
    scgp->err_stream = stderr;
    scg_close(scgp);
    EXPECT_EQ(log_lines(log(), "abort "), std::vector<std::string>{"abort 0"}) << log();
}

TEST_F(AspiSim, OnlyResetCodeTwoResetsTheCurrentDevice) {
    SCSI* scgp = Open("0,2,0");
    ASSERT_NE(scgp, nullptr);
    qvtest::CapturedStream err;
    scgp->err_stream = err;
    EXPECT_EQ(scg_reset(scgp, 0), 0);
    errno = 0;
    EXPECT_EQ(scg_reset(scgp, 1), -1);
    EXPECT_EQ(errno, EINVAL);
    scgp->debug_level = 1;
    EXPECT_EQ(scg_reset(scgp, 2), 0);
    scgp->debug_level = 0;
    EXPECT_EQ(err.text(), "Attempting to reset SCSI device\nReset SCSI device completed\n");
    scgp->err_stream = stderr;
    scg_close(scgp);
    EXPECT_EQ(log_lines(log(), "reset "), std::vector<std::string>{"reset 0 2 0"}) << log();
}

TEST_F(AspiSim, DebugLevelShowsTheLoadAndEachAdapter) {
    SCSI* scgp = scg_smalloc();
    qvtest::CapturedStream err;
    scgp->err_stream = err;
    scgp->debug_level = 1;
    {
        qvtest::StderrCapture announcement;
        scg__open(scgp, nullptr);
    }
    const std::string said = err.text();
    EXPECT_EQ(said.rfind("open_driver 102 HostASPIStatus=0x1 HACount=0x2\nStatus : 1\n"
                         "hacount: 2\nSCSI id: 7\nManager: '",
                         0),
              0u)
        << said;
    EXPECT_NE(said.find("\nUnique: "), std::string::npos) << said;
    scgp->err_stream = stderr;
    scg__close(scgp);
    scg_sfree(scgp);
}

// --- through a program of its own ----------------------------------------------

struct ProbeRun {
    int exit_code = -1;
    std::string out, err;
};

// Where a probe run finds a layer: beside the program, or where the
// installed one goes (../lib/qvupdate).
enum class Place { beside, installed };
struct Layer {
    std::string file;  // a built layer below the build folder, or "junk": a file that is none
    Place place;
};

// Starts a copy of aspi_probe in a folder of its own (DIR/bin) with `layers`
// laid out around it, `args` and only the given environment (and the
// sanitizers' options, if any), so that what it loads is exactly what the
// test says. "DIR" in its standard error stands for the folder.
ProbeRun run_probe(const std::vector<Layer>& layers, std::vector<std::string> args,
                   const std::vector<std::string>& env) {
    ProbeRun run;
    const qvtest::TempDir dir("qv-wnt-probe");
    const fs::path probe = fs::path(dir.path()) / "bin" / "aspi_probe";
    fs::create_directories(fs::path(dir.path()) / "lib" / "qvupdate");
    fs::create_directories(probe.parent_path());
    fs::copy_file(build_dir() / "aspi-probe" / "aspi_probe", probe);
    for (const Layer& l : layers) {
        const fs::path to =
            probe.parent_path() / (l.place == Place::beside ? "" : "../lib/qvupdate") / "WNASPI32";
        if (l.file == "junk")
            std::ofstream(to) << "not a shared object\n";
        else
            fs::copy_file(build_dir() / l.file, to);
    }
    const std::string out = dir.Path("out");
    const std::string err = dir.Path("err");

    std::vector<std::string> vars = env;
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
        if (const char* v = std::getenv(name)) vars.push_back(std::string(name) + "=" + v);
    }
    std::vector<char*> envp;
    for (std::string& v : vars) envp.push_back(v.data());
    envp.push_back(nullptr);
    std::string path = probe.string();
    std::vector<char*> argv{path.data()};
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid;
    int rc = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc == 0) {
        // A probe that hangs is ended, so that the failure shows what it
        // printed instead of stopping the whole run.
        int status = 0;
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (waitpid(pid, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > limit) {
                kill(pid, SIGKILL);
                waitpid(pid, &status, 0);
                ADD_FAILURE() << probe << " did not finish; ended";
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        run.out = ReadFile(out);
        run.err = ReadFile(err);
        for (std::size_t at; (at = run.err.find(dir.path())) != std::string::npos;)
            run.err.replace(at, dir.path().size(), "DIR");
    } else {
        ADD_FAILURE() << "posix_spawn: " << std::strerror(rc);
    }
    return run;
}

TEST(AspiLate, ACompletionSeenAfterTheWaitRanOutIsWaitedForItsSignal) {
    // This ASPI writes the status at once and signals 900 ms later; it asks
    // for waits of 0.3 times the time-out, so the one-second time-out runs
    // out in between. The event must not be closed while ASPI is still to
    // signal it.
    ProbeRun run = run_probe({{"late-aspi/WNASPI32", Place::beside}}, {"-t", "1", "0,0,0"}, {});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.out, "opened\ntur 0 error 0\ndelivered 1\n") << run.err;
}

// The layer is found by path, beside the program and then where the
// installed one lies, never through the library search path; whatever lies
// at the first place is the layer; a failure says why, on a line of its own.
TEST(AspiLoad, LayerFoundByPathOnly) {
    const std::string missing =
        "Can not load ASPI driver! DIR/bin/../lib/qvupdate/WNASPI32: cannot open shared object file: No such "
        "file or directory\n";
    struct Row {
        const char* name;
        std::vector<Layer> layers;
        std::vector<std::string> env;
        int exit_code;
        std::string err;
    } rows[] = {
        {"nowhere", {}, {}, 1, missing},
        {"only on the search path", {}, {"LD_LIBRARY_PATH=" + build_dir().string()}, 1, missing},
        {"installed", {{"WNASPI32", Place::installed}}, {}, 0, "aspisim: using the built-in simulated bus\n"},
        {"beside wins",
         {{"WNASPI32", Place::beside}, {"broken-aspi/WNASPI32", Place::installed}},
         {},
         0,
         "aspisim: using the built-in simulated bus\n"},
        {"broken beside",
         {{"broken-aspi/WNASPI32", Place::beside}, {"WNASPI32", Place::installed}},
         {},
         1,
         "ASPI function not found in library!\n"},
        {"no library beside",
         {{"junk", Place::beside}, {"WNASPI32", Place::installed}},
         {},
         1,
         "Can not load ASPI driver! DIR/bin/WNASPI32: file too short\n"},
    };
    for (const Row& r : rows) {
        ProbeRun run = run_probe(r.layers, {}, r.env);
        EXPECT_EQ(run.exit_code, r.exit_code) << r.name;
        EXPECT_EQ(run.err, r.err) << r.name;
        EXPECT_EQ(run.out, r.exit_code == 0 ? "opened\n" : "refused: \n") << r.name;
    }
}

TEST(AspiLoad, SupportStatusOtherThanDoneOrNoAdapters) {
    const qvtest::TempDir dir("qv-wnt-bus");
    const std::string bus = dir.Path("bus");
    std::ofstream(bus) << "support 0xE4\n";
    const std::vector<Layer> sim = {{"WNASPI32", Place::beside}};
    ProbeRun run = run_probe(sim, {}, {"ASPISIM_BUS=" + bus});
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_EQ(run.err, "aspisim: using the simulated bus described in " + bus +
                           "\nCould not find any host adapters\nASPIStatus == 0xE4\n");
    EXPECT_EQ(run.out, "refused: \n");

    // No adapters at all is no failure: an open without address succeeds.
    std::ofstream(bus) << "support 0xE8\nadapters 0\n";
    run = run_probe(sim, {}, {"ASPISIM_BUS=" + bus});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.out, "opened\n");
}

}  // namespace

// Tests of the ASPI transport.
//
// The transport's library state is process-wide and the simulated ASPI layer
// reads its environment when it is loaded, so every case that loads WNASPI32
// runs in a fresh process: a threadsafe death test (the test binary started
// again for this one case) or the small program aspi_probe, whose library
// search path is set when it starts.
#include "scg/scsi-wnt.h"

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

// --- a scenario in a fresh process -----------------------------------------

// What a child process found, as "key value" lines in a file of its folder.
class Report {
public:
    template <class T>
    void put(const std::string& key, const T& value) {
        std::ostringstream ss;
        ss << key << ' ' << value << '\n';
        text_ += ss.str();
    }
    void put_record(const std::string& tag, const struct scg_cmd* sp) {
        put(tag + ".error", sp->error);
        put(tag + ".errno", sp->ux_errno);
        put(tag + ".status", static_cast<int>(sp->status[0]));
        put(tag + ".sense_received", sp->sense_received);
        put(tag + ".sense", hex(sp->sense, 18));
        put(tag + ".resid", sp->resid);
    }
    const std::string& text() const { return text_; }

private:
    std::string text_;
};

using Scenario = std::function<void(Report&)>;

// Opens an address in a child and reports whether that worked; null when not.
SCSI* open_reported(Report& r, const char* dev) {
    char errs[256];
    SCSI* scgp = scg_open(dev, errs, sizeof errs, 0, 0);
    r.put("open", scgp != nullptr);
    return scgp;
}

// The folder, bus file and environment of one simulator run. Under a
// threadsafe death test the test body runs once more in the child up to the
// statement, so this must set up the same thing twice: the folder name comes
// from the test's name and a run id that the child inherits.
class SimRun {
public:
    explicit SimRun(const char* bus_text = nullptr, const char* time_scale = nullptr) {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        const char* run = std::getenv("QV_WNT_RUN");
        if (run == nullptr) {
            setenv("QV_WNT_RUN", std::to_string(getpid()).c_str(), 1);
            run = std::getenv("QV_WNT_RUN");
        }
        const auto* info = testing::UnitTest::GetInstance()->current_test_info();
        dir_ = fs::path(testing::TempDir()) /
               (std::string("qv-wnt-") + run + "-" + info->test_suite_name() + "." + info->name());
        fs::create_directories(dir_);
        fs::remove(path("log"));
        fs::remove(path("report"));
        fs::remove(path("err"));
        if (bus_text != nullptr) {
            std::ofstream(path("bus")) << bus_text;
            setenv("ASPISIM_BUS", path("bus").c_str(), 1);
        } else {
            unsetenv("ASPISIM_BUS");
        }
        setenv("ASPISIM_LOG", path("log").c_str(), 1);
        setenv("ASPISIM_STATE", path("state").c_str(), 1);
        if (time_scale != nullptr) {
            setenv("ASPISIM_TIME_SCALE", time_scale, 1);
        } else {
            unsetenv("ASPISIM_TIME_SCALE");
        }
    }
    ~SimRun() {
        unsetenv("ASPISIM_BUS");
        unsetenv("ASPISIM_LOG");
        unsetenv("ASPISIM_STATE");
        unsetenv("ASPISIM_TIME_SCALE");
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    std::string path(const char* name) const { return (dir_ / name).string(); }
    std::string log() const { return ReadFile(path("log")); }
    std::string err() const { return ReadFile(path("err")); }

    // In the child: runs the scenario, writes its report and ends the
    // process through exit, so that the transport's exit handler runs too.
    [[noreturn]] void child(const Scenario& scenario) const {
        Report r;
        scenario(r);
        std::ofstream(path("report")) << r.text();
        std::exit(0);
    }

    std::map<std::string, std::string> report() const {
        std::map<std::string, std::string> m;
        std::istringstream in(ReadFile(path("report")));
        for (std::string line; std::getline(in, line);) {
            auto blank = line.find(' ');
            if (blank != std::string::npos) m[line.substr(0, blank)] = line.substr(blank + 1);
        }
        return m;
    }

private:
    fs::path dir_;
};

#define RUN_CHILD(sim, ...) EXPECT_EXIT((sim).child(__VA_ARGS__), ::testing::ExitedWithCode(0), "")

// Points the handle's transport stream at a file of the run's folder.
FILE* capture_err(const SimRun& sim, SCSI* scgp) {
    FILE* f = std::fopen(sim.path("err").c_str(), "w");
    if (f != nullptr) scgp->err_stream = f;
    return f;
}

void release_err(SCSI* scgp, FILE* f) {
    scgp->err_stream = stderr;
    if (f != nullptr) std::fclose(f);
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
    SimRun sim;
    RUN_CHILD(sim, [&](Report& r) {
        SCSI* scgp = scg_smalloc();
        scgp->scsibus = 0;
        scgp->target = 2;
        scgp->lun = 0;
        scgp->fd = 1;
        FILE* f = capture_err(sim, scgp);
        r.put("loaded", scg_wnt::aspi_library().loaded());
        prepare(scgp, {0, 0, 0, 0, 0, 0}, nullptr, 0, 0);
        r.put("send", scg_std_ops.scgo_send(scgp));
        r.put("send.error", scgp->cmdrec->error);
        r.put("reset", scg_std_ops.scgo_reset(scgp, 2));
        SRB_ExecSCSICmd s{};
        r.put("abort", scg_wnt::scsiabort(scgp, &s));
        SRB_HAInquiry inq{};
        r.put("inquiry", scg_wnt::ha_inquiry(scgp, 0, &inq));
        r.put("initiator", scg_std_ops.scgo_initiator_id(scgp));
        release_err(scgp, f);
        scg_sfree(scgp);
    });
    auto r = sim.report();
    EXPECT_EQ(r["loaded"], "0");
    EXPECT_EQ(r["send"], "-1");
    EXPECT_EQ(r["send.error"], std::to_string(SCGE_FATAL));
    EXPECT_EQ(r["reset"], "-1");
    EXPECT_EQ(r["abort"], "0");
    EXPECT_EQ(r["inquiry"], "-1");
    EXPECT_EQ(r["initiator"], "-1");
    EXPECT_EQ(sim.err(),
              "error in scgo_reset: ASPI driver not loaded !\n"
              "error in scsiabort: ASPI driver not loaded !\n");
}

TEST(AspiUnloaded, SendReportsThroughTheErrorFunctions) {
    // Nothing is loaded, so this runs in the test's own process.
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

TEST(AspiSim, OpenWithoutAddressSelectsNothingAndCountsAdapters) {
    SimRun sim;
    RUN_CHILD(sim, [&](Report& r) {
        char errs[256] = "untouched";
        SCSI* scgp = scg_open(nullptr, errs, sizeof errs, 0, 0);
        r.put("open", scgp != nullptr);
        if (scgp == nullptr) return;
        r.put("addr", std::to_string(scgp->scsibus) + "," + std::to_string(scgp->target) + "," +
                          std::to_string(scgp->lun) + "," + std::to_string(scgp->fd));
        r.put("errs", std::string("[") + errs + "]");
        r.put("busses", scg_wnt::aspi_library().busses());
        std::string bus;
        for (int b : {-1, 0, 1, 2}) bus += std::to_string(scg_havebus(scgp, b));
        r.put("havebus", bus);
        r.put("initiator.none", scg_initiator_id(scgp));
        std::string fds;
        const int addrs[][3] = {{0, 2, 0}, {1, 15, 7}, {0, 16, 0}, {0, 2, 8},
                                {2, 0, 0}, {-1, 0, 0}, {0, -1, 0}};
        for (const auto& a : addrs) fds += std::to_string(scg_settarget(scgp, a[0], a[1], a[2])) + ";";
        r.put("fileno", fds);
        scg_settarget(scgp, 0, 2, 0);
        r.put("initiator", scg_initiator_id(scgp));
        r.put("bufsize", scg_bufsize(scgp, 0));
        r.put("version", scg_version(scgp, SCGV_VERSION));
        scg_close(scgp);
        r.put("loaded.after.close", scg_wnt::aspi_library().loaded());
    });
    auto r = sim.report();
    ASSERT_EQ(r["open"], "1");
    EXPECT_EQ(r["addr"], "-1,-1,-1,-1");
    EXPECT_EQ(r["errs"], "[]");
    EXPECT_EQ(r["busses"], "2");  // the built-in bus has two adapters
    EXPECT_EQ(r["havebus"], "0110");
    EXPECT_EQ(r["initiator.none"], "-1");
    EXPECT_EQ(r["fileno"], "1;1;-1;-1;-1;-1;-1;");
    EXPECT_EQ(r["initiator"], "7");
    EXPECT_EQ(r["bufsize"], "64512");
    EXPECT_EQ(r["version"], "scsi-wnt-1.27");
    EXPECT_EQ(r["loaded.after.close"], "0");
}

TEST(AspiSim, OpenWithAddressAndABusBeyondTheAdapters) {
    SimRun sim;
    RUN_CHILD(sim, [&](Report& r) {
        SCSI* scgp = open_reported(r, "1,2,0");
        if (scgp == nullptr) return;
        char errs[256];
        r.put("addr", std::to_string(scgp->scsibus) + "," + std::to_string(scgp->target) + "," +
                          std::to_string(scgp->lun) + "," + std::to_string(scgp->fd));
        // A bus the library does not have unloads the library for everyone.
        std::strcpy(errs, "untouched");
        SCSI* beyond = scg_open("5,0,0", errs, sizeof errs, 0, 0);
        r.put("beyond", beyond != nullptr);
        r.put("beyond.errs", std::string("[") + errs + "]");
        r.put("loaded", scg_wnt::aspi_library().loaded());
        scg_close(scgp);
    });
    auto r = sim.report();
    ASSERT_EQ(r["open"], "1");
    EXPECT_EQ(r["addr"], "1,2,0,1");
    EXPECT_EQ(r["beyond"], "0");
    EXPECT_EQ(r["beyond.errs"], "[]");
    EXPECT_EQ(r["loaded"], "0");
}

TEST(AspiSim, DirectionFlagsAndCdbReachAspiAsGiven) {
    SimRun sim;
    RUN_CHILD(sim, [&](Report& r) {
        SCSI* scgp = open_reported(r, "0,2,0");
        if (scgp == nullptr) return;
        unsigned char inq[36] = {};
        prepare(scgp, {0x12, 0, 0, 0, 36, 0, 0, 0, 0, 0, 0, 0}, inq, sizeof inq, SCGF_RECV);
        r.put("inquiry", scg_cmd(scgp));
        r.put("vendor", std::string(reinterpret_cast<char*>(inq) + 8, 8));
        r.put_record("inquiry", scgp->cmdrec);
        // What the device answers (it holds no disc) does not matter here,
        // only what reached ASPI.
        scgp->silent++;
        prepare(scgp, {0x00, 0, 0, 0, 0, 0}, nullptr, 0, 0);
        scg_cmd(scgp);
        unsigned char out[4] = {1, 2, 3, 4};
        prepare(scgp, {0x3B, 0x02, 0, 0, 0, 0, 0, 0, 4, 0}, out, sizeof out, 0);
        scg_cmd(scgp);
        scgp->silent--;
        scg_close(scgp);
    });
    auto r = sim.report();
    ASSERT_EQ(r["open"], "1");
    EXPECT_EQ(r["inquiry"], "0");
    EXPECT_EQ(r["vendor"], "DRAVLIN ");
    EXPECT_EQ(r["inquiry.error"], "0");
    EXPECT_EQ(r["inquiry.status"], "0");
    EXPECT_EQ(r["inquiry.resid"], "0");
    auto exec = log_lines(sim.log(), "exec ");
    ASSERT_EQ(exec.size(), 3u) << sim.log();
    EXPECT_EQ(exec[0], "exec 0 2 0 flags=0x48 len=36 cdb=120000002400000000000000");
    EXPECT_EQ(exec[1], "exec 0 2 0 flags=0x40 len=0 cdb=000000000000");
    EXPECT_EQ(exec[2].rfind("exec 0 2 0 flags=0x50 len=4 cdb=3b020000000000000400 ", 0), 0u) << exec[2];
}

TEST(AspiSim, RecordsThatDescribeNoRealBufferAreNotSent) {
    SimRun sim;
    RUN_CHILD(sim, [&](Report& r) {
        SCSI* scgp = open_reported(r, "0,2,0");
        if (scgp == nullptr) return;
        FILE* f = capture_err(sim, scgp);
        unsigned char buf[16];
        struct Bad {
            const char* tag;
            int cdb_len, size;
            void* addr;
        };
        const Bad bad[] = {
            {"cdb17", 17, 0, nullptr},
            {"cdbneg", -1, 0, nullptr},
            {"sizeneg", 6, -1, buf},
            {"noaddr", 6, 16, nullptr},
        };
        for (const Bad& b : bad) {
            prepare(scgp, {0x12, 0, 0, 0, 16, 0}, b.addr, b.size, SCGF_RECV);
            scgp->cmdrec->cdb_len = b.cdb_len;
            r.put(std::string(b.tag) + ".ret", scg_std_ops.scgo_send(scgp));
            r.put(std::string(b.tag) + ".error", scgp->cmdrec->error);
            r.put(std::string(b.tag) + ".errno", scgp->cmdrec->ux_errno);
        }
        // An address the transport does not have is never sent either.
        scg_settarget(scgp, 0, 16, 0);
        prepare(scgp, {0, 0, 0, 0, 0, 0}, nullptr, 0, 0);
        r.put("nofd.ret", scg_std_ops.scgo_send(scgp));
        r.put("nofd.error", scgp->cmdrec->error);
        release_err(scgp, f);
        scg_close(scgp);
    });
    auto r = sim.report();
    ASSERT_EQ(r["open"], "1");
    for (const char* tag : {"cdb17", "cdbneg", "sizeneg", "noaddr"}) {
        SCOPED_TRACE(tag);
        EXPECT_EQ(r[std::string(tag) + ".ret"], "-1");
        EXPECT_EQ(r[std::string(tag) + ".error"], std::to_string(SCGE_FATAL));
        EXPECT_EQ(r[std::string(tag) + ".errno"], std::to_string(EINVAL));
    }
    EXPECT_EQ(r["nofd.ret"], "-1");
    EXPECT_EQ(r["nofd.error"], std::to_string(SCGE_FATAL));
    EXPECT_EQ(sim.err(),
              "sp->cdb_len > sizeof(SRB_ExecSCSICmd.CDBByte). Fatal error in scgo_send, "
              "exiting...\n");
    EXPECT_TRUE(log_lines(sim.log(), "exec ").empty()) << sim.log();
}

TEST(AspiSim, FailedCompletionsAreMappedWithStatusAndSense) {
    SimRun sim(
        "device 0 2 medium=yes\n"
        "fail 0 2 0x00 1 status=0x04 targstat=0x02 "
        "sense=700006000000000a000000002900000011223344\n"
        "fail 0 2 0x00 2 status=0xE1 targstat=0x00\n"
        "fail 0 2 0x00 3 status=0xE5 targstat=0x00\n");
    RUN_CHILD(sim, [&](Report& r) {
        SCSI* scgp = open_reported(r, "0,2,0");
        if (scgp == nullptr) return;
        FILE* f = capture_err(sim, scgp);
        scgp->silent++;
        for (const char* tag : {"check", "e1", "e5"}) {
            prepare(scgp, {0x00, 0, 0, 0, 0, 0}, nullptr, 0, 0);
            r.put(std::string(tag) + ".ret", scg_cmd(scgp));
            r.put_record(tag, scgp->cmdrec);
            if (std::string(tag) == "check") scgp->debug_level = 1;
        }
        scgp->debug_level = 0;
        prepare(scgp, {0x00, 0, 0, 0, 0, 0}, nullptr, 0, 0);
        r.put("after.ret", scg_cmd(scgp));
        scgp->silent--;
        release_err(scgp, f);
        scg_close(scgp);
    });
    auto r = sim.report();
    ASSERT_EQ(r["open"], "1");
    EXPECT_EQ(r["check.ret"], "-1");
    EXPECT_EQ(r["check.error"], std::to_string(SCGE_RETRYABLE));
    EXPECT_EQ(r["check.errno"], std::to_string(EIO));
    EXPECT_EQ(r["check.status"], "2");
    EXPECT_EQ(r["check.sense_received"], "14");
    // ASPI fills the 14 bytes asked for; the copy takes the whole 16-byte
    // area and nothing beyond it.
    EXPECT_EQ(r["check.sense"],
              "700006000000000a0000000029000000"
              "0000");
    EXPECT_EQ(r["check.resid"], "0");
    EXPECT_EQ(r["e1.ret"], "-1");
    EXPECT_EQ(r["e1.error"], std::to_string(SCGE_FATAL));
    EXPECT_EQ(r["e1.errno"], std::to_string(EFAULT));
    EXPECT_EQ(r["e5.ret"], "-1");
    EXPECT_EQ(r["e5.error"], std::to_string(SCGE_RETRYABLE));
    EXPECT_EQ(r["e5.errno"], std::to_string(EBUSY));
    EXPECT_EQ(r["after.ret"], "0");
    EXPECT_EQ(sim.err(),
              "Error in scgo_send: s.SRB_Status is 0xe1\n"
              "Mapped to: error 2 errno: 14\n"
              "Error in scgo_send: s.SRB_Status is 0xe5\n"
              "Mapped to: error 1 errno: 16\n");
}

TEST(AspiSim, HungCommandTimesOutAndIsAborted) {
    // One second of time-out, shrunk twentyfold by the simulated layer.
    SimRun sim("device 0 2 medium=yes\nhang 0 2 0x00 1\n", "0.05");
    RUN_CHILD(sim, [&](Report& r) {
        SCSI* scgp = open_reported(r, "0,2,0");
        if (scgp == nullptr) return;
        FILE* f = capture_err(sim, scgp);
        scg_settimeout(scgp, 1);
        scgp->silent++;
        scgp->debug_level = 1;
        prepare(scgp, {0x00, 0, 0, 0, 0, 0}, nullptr, 0, 0, 1);
        r.put("hung.ret", scg_cmd(scgp));
        r.put_record("hung", scgp->cmdrec);
        scgp->debug_level = 0;
        prepare(scgp, {0x00, 0, 0, 0, 0, 0}, nullptr, 0, 0, 1);
        r.put("next.ret", scg_cmd(scgp));
        scgp->silent--;
        release_err(scgp, f);
        scg_close(scgp);
    });
    auto r = sim.report();
    ASSERT_EQ(r["open"], "1");
    EXPECT_EQ(r["hung.ret"], "-1");
    EXPECT_EQ(r["hung.error"], std::to_string(SCGE_TIMEOUT));
    EXPECT_EQ(r["hung.status"], "0");
    EXPECT_EQ(r["next.ret"], "0");
    EXPECT_EQ(log_lines(sim.log(), "abort "), std::vector<std::string>{"abort 0"}) << sim.log();
    EXPECT_EQ(sim.err(),
              "Timeout....\n"
              "Attempting to abort SCSI command\n"
              "Abort SCSI command completed\n");
}

TEST(AspiSim, OnlyResetCodeTwoResetsTheCurrentDevice) {
    SimRun sim;
    RUN_CHILD(sim, [&](Report& r) {
        SCSI* scgp = open_reported(r, "0,2,0");
        if (scgp == nullptr) return;
        FILE* f = capture_err(sim, scgp);
        r.put("reset0", scg_reset(scgp, 0));
        errno = 0;
        r.put("reset1", scg_reset(scgp, 1));
        r.put("reset1.errno", errno);
        scgp->debug_level = 1;
        r.put("reset2", scg_reset(scgp, 2));
        scgp->debug_level = 0;
        release_err(scgp, f);
        scg_close(scgp);
    });
    auto r = sim.report();
    ASSERT_EQ(r["open"], "1");
    EXPECT_EQ(r["reset0"], "0");
    EXPECT_EQ(r["reset1"], "-1");
    EXPECT_EQ(r["reset1.errno"], std::to_string(EINVAL));
    EXPECT_EQ(r["reset2"], "0");
    EXPECT_EQ(log_lines(sim.log(), "reset "), std::vector<std::string>{"reset 0 2 0"}) << sim.log();
    EXPECT_EQ(sim.err(), "Attempting to reset SCSI device\nReset SCSI device completed\n");
}

TEST(AspiSim, DebugLevelShowsTheLoadAndEachAdapter) {
    SimRun sim;
    RUN_CHILD(sim, [&](Report&) {
        SCSI* scgp = scg_smalloc();
        FILE* f = capture_err(sim, scgp);
        scgp->debug_level = 1;
        scg__open(scgp, nullptr);
        release_err(scgp, f);
        scg__close(scgp);
        scg_sfree(scgp);
    });
    const std::string err = sim.err();
    EXPECT_EQ(err.rfind("open_driver 102 HostASPIStatus=0x1 HACount=0x2\nStatus : 1\n"
                        "hacount: 2\nSCSI id: 7\nManager: '",
                        0),
              0u)
        << err;
    EXPECT_NE(err.find("\nUnique: "), std::string::npos) << err;
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

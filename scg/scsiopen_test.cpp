// Handle allocation, address parsing and open, on the fake transport.
#include "scg/scsiopen.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "scg/scg.h"
#include "scg/testing/fake_transport.h"
#include "support/utils.h"

namespace {

using scg_fake::FakeTransport;
using scg_fake::UseAsStdTransport;

struct Opened {
    bool ok = false;
    int bus = 0, target = 0, lun = 0, fd = 0;
    std::string devname;  // what the transport's open was given
    std::string errs;
    int err = 0;
    std::string stderr_text;
};

class OpenTest : public ::testing::Test {
protected:
    Opened open(const char* dev, int debug = 0, int verbose = 0) {
        Opened o;
        char errs[256];
        std::memset(errs, '#', sizeof errs);
        errno = 0;
        fake.opened.clear();
        ::testing::internal::CaptureStderr();
        SCSI* scgp = scg_open(dev, errs, sizeof errs, debug, verbose);
        o.err = errno;
        o.stderr_text = ::testing::internal::GetCapturedStderr();
        o.errs = errs;
        if (scgp != nullptr) {
            o.ok = true;
            o.bus = scgp->scsibus, o.target = scgp->target, o.lun = scgp->lun, o.fd = scgp->fd;
            EXPECT_EQ(scgp->debug_level, debug);
            EXPECT_EQ(scgp->open_verbose, verbose);
            EXPECT_EQ(fake.opened.size(), 1u);
            if (!fake.opened.empty()) o.devname = fake.opened.back();
            scg_close(scgp);
        }
        return o;
    }
    void expect_address(const char* dev, int bus, int target, int lun, const std::string& devname = "") {
        Opened o = open(dev);
        ASSERT_TRUE(o.ok) << dev << ": " << o.errs;
        EXPECT_EQ(o.bus, bus) << dev;
        EXPECT_EQ(o.target, target) << dev;
        EXPECT_EQ(o.lun, lun) << dev;
        EXPECT_EQ(o.devname, devname) << dev;
        EXPECT_EQ(o.errs, "") << dev;
    }
    void expect_refused(const char* dev, const std::string& message) {
        Opened o = open(dev);
        EXPECT_FALSE(o.ok) << dev;
        EXPECT_EQ(o.errs, message) << dev;
        EXPECT_EQ(o.err, EINVAL) << dev;
        EXPECT_TRUE(fake.opened.empty()) << dev;
    }

    FakeTransport fake;
    UseAsStdTransport use;
};

TEST_F(OpenTest, NoAddressSelectsNoTarget) {
    expect_address(nullptr, -1, -1, -1);
    expect_address("", -1, -1, -1);
    EXPECT_EQ(open(nullptr).fd, -1);
}

TEST_F(OpenTest, NumericAddresses) {
    expect_address("1,2,0", 1, 2, 0);
    expect_address(" 1,\t2, 0", 1, 2, 0);
    expect_address("2,0", 0, 2, 0);
    expect_address("2,", 0, 2, 0);
    expect_address("1,,3", 1, 0, 3);
    expect_address("0x1,010,0", 1, 8, 0);
    expect_address("0,3,0", 0, 3, 0);
    EXPECT_EQ(open("0,3,0").fd, 3 * 8);  // fd is the transport's for that address
    EXPECT_EQ(open("0,9,0").fd, -1);
}

TEST_F(OpenTest, NumericAddressErrorsShowTheWholeAddress) {
    expect_refused("1,2,3,4", "Invalid lun specifier in '1,2,3,4'");
    expect_refused("1,x", "Invalid target or lun specifier in '1,x'");
    expect_refused("1,2x,3", "Invalid target or lun specifier in '1,2x,3'");
    expect_refused("x,1", "Invalid bus or target specifier in 'x,1'");
    expect_refused("-1,2", "Invalid value for bus, target or lun (0,-1,2)");
    expect_refused("1,2,-3", "Invalid value for bus, target or lun (1,2,-3)");
    expect_refused("name:1,2,3,4", "Invalid lun specifier in '1,2,3,4'");
    expect_refused("name:1", "Invalid bus or target specifier in '1'");
}

TEST_F(OpenTest, DeviceNames) {
    expect_address("5", -2, -2, -2, "5");
    expect_address("cdrom", -2, -2, -2, "cdrom");
    expect_address("name:1,2,3", 1, 2, 3, "name");
    expect_address("name:2,0", 0, 2, 0, "name");
    expect_address("name:@", -2, -2, -2, "name");
    expect_address("name:@,3", -2, -2, 3, "name");
    expect_address("name:@x", -2, -2, 0, "name");
    expect_address(":1,2,3", 1, 2, 3);
    expect_address("name:@,", -2, -2, 0, "name");  // an empty lun reads as 0
}

TEST_F(OpenTest, AtFormWithBadLunHasNoInBeforeTheText) {
    expect_refused("name:@,7x", "Invalid lun specifier '7x'");
    // Only the first colon separates the name.
    expect_refused("a:b:1,2", "Invalid bus or target specifier in 'b:1,2'");
}

TEST_F(OpenTest, EmptyAddressAfterColonWarnsAndUsesTarget6) {
    const char warning[] = "WARNING: device not valid, trying to use default target...\n";
    Opened o = open("name:");
    ASSERT_TRUE(o.ok);
    EXPECT_EQ(o.stderr_text, warning);
    EXPECT_EQ(o.devname, "name");
    EXPECT_EQ(o.bus, 0);
    EXPECT_EQ(o.target, 6);
    EXPECT_EQ(o.lun, 0);

    o = open(":");
    ASSERT_TRUE(o.ok);
    EXPECT_EQ(o.stderr_text, warning);
    EXPECT_EQ(o.devname, "");
    EXPECT_EQ(o.bus, 0);
    EXPECT_EQ(o.target, 6);
    EXPECT_EQ(o.lun, 0);
}

TEST_F(OpenTest, LongNamesAreCutTo255Characters) {
    const std::string name(300, 'n');
    expect_address(name.c_str(), -2, -2, -2, name.substr(0, 255));
    const std::string prefixed = std::string(280, 'p') + ":1,2,3";
    expect_address(prefixed.c_str(), 1, 2, 3, std::string(255, 'p'));
}

TEST_F(OpenTest, VerboseAndDebugPrintouts) {
    Opened o = open("name:1,2,0", 0, 1);
    EXPECT_EQ(o.stderr_text, "scsidev: 'name:1,2,0'\ndevname: 'name'\nscsibus: 1 target: 2 lun: 0\n");
    o = open("", 0, 1);
    EXPECT_EQ(o.stderr_text, "scsidev: ''\nscsibus: -1 target: -1 lun: -1\n");
    o = open(nullptr, 0, 1);
    EXPECT_EQ(o.stderr_text, "");
    o = open("1,2,0", 1, 0);
    EXPECT_EQ(o.stderr_text, "scg__open() 1,2,0\n");
}

TEST_F(OpenTest, TransportOpenFailureHandsBackItsErrorText) {
    fake.open_result = 0;
    fake.on_open = [](SCSI* scgp) {
        scg_printf(scgp, "no ASPI layer %d", 7);
        errno = ENODEV;
    };
    Opened o = open("1,2,0");
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(o.errs, "no ASPI layer 7");
    EXPECT_EQ(o.err, ENODEV);

    fake.on_open = nullptr;
    o = open("1,2,0");
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(o.errs, "");
}

TEST_F(OpenTest, ErrorTextIsBoundedByTheCallersSize) {
    char errs[16];
    std::memset(errs, '#', sizeof errs);
    EXPECT_EQ(scg_open("1,2,3,4", errs, 8, 0, 0), nullptr);
    EXPECT_STREQ(errs, "Invalid");
    EXPECT_EQ(errs[8], '#');

    std::memset(errs, '#', sizeof errs);
    EXPECT_EQ(scg_open("1,2,3,4", errs, 0, 0, 0), nullptr);
    EXPECT_EQ(errs[0], '#');
    EXPECT_EQ(scg_open("1,2,3,4", nullptr, 0, 0, 0), nullptr);

    fake.open_result = -1;
    fake.on_open = [](SCSI* scgp) { scg_printf(scgp, "%s", std::string(5000, 'e').c_str()); };
    std::memset(errs, '#', sizeof errs);
    EXPECT_EQ(scg_open("1,2,0", errs, 8, 0, 0), nullptr);
    EXPECT_STREQ(errs, "eeeeeee");
    EXPECT_EQ(errs[8], '#');
}

TEST_F(OpenTest, RemoteNamesAreRefusedAfterParsing) {
    const std::string refusal = std::string(sup::get_progname()) + ": No remote SCSI transport available.\n";
    EXPECT_EQ(open("REMOTE:host:1,2,0", 0, 1).stderr_text,
              "scsidev: 'REMOTE:host:1,2,0'\ndevname: 'REMOTE:host:1,2,0'\nscsibus: 1 target: 2 lun: 0\n" +
                  refusal);
    EXPECT_EQ(open("REMOTE(host)", 0, 1).stderr_text,
              "scsidev: 'REMOTE(host)'\ndevname: 'REMOTE(host)'\nscsibus: -1 target: -1 lun: -1\n" + refusal);
    EXPECT_EQ(
        open("REMOTE:a:b:2,0", 0, 1).stderr_text,
        "scsidev: 'REMOTE:a:b:2,0'\ndevname: 'REMOTE:a:b:2,0'\nscsibus: 0 target: 2 lun: 0\n" + refusal);
    // A seventh character other than ':' or '(' parses as an ordinary
    // address, but the name still selects the remote table.
    const Opened o = open("REMOTEX:1,2,0", 0, 1);
    EXPECT_EQ(o.stderr_text,
              "scsidev: 'REMOTEX:1,2,0'\ndevname: 'REMOTEX'\nscsibus: 1 target: 2 lun: 0\n" + refusal);
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(o.err, 0) << "no system error applies";
    EXPECT_TRUE(fake.opened.empty());
}

TEST(ScanDev, CountsAndAssignments) {
    struct {
        const char* text;
        int n, bus, tgt, lun;
    } cases[] = {
        {"", 0, 0, 0, 0},  {"3,", 1, 0, 3, 0}, {"3,1", 2, 0, 3, 1},       {"2,3,1", 3, 2, 3, 1},
        {",", 1, 0, 0, 0}, {",,", 2, 0, 0, 0}, {"0X1f,0,0", 3, 31, 0, 0}, {"+1,+2,+3", 3, 1, 2, 3},
    };
    for (const auto& c : cases) {
        int bus = -9, tgt = -9, lun = -9;
        EXPECT_EQ(scg_scandev(c.text, nullptr, 0, &bus, &tgt, &lun), c.n) << c.text;
        EXPECT_EQ(bus, c.bus) << c.text;
        EXPECT_EQ(tgt, c.tgt) << c.text;
        EXPECT_EQ(lun, c.lun) << c.text;
    }
}

// --- the handle --------------------------------------------------------------

TEST(Handle, FreshHandle) {
    SCSI* scgp = scg_smalloc();
    ASSERT_NE(scgp, nullptr);
    EXPECT_EQ(scgp->ops, &scg_dummy_ops);
    EXPECT_EQ(scgp->scsibus, -1);
    EXPECT_EQ(scgp->target, -1);
    EXPECT_EQ(scgp->lun, -1);
    EXPECT_EQ(scgp->fd, -1);
    EXPECT_EQ(scgp->default_timeout, 20);
    EXPECT_EQ(scgp->running, 0);
    EXPECT_EQ(scgp->err_stream, stderr);
    ASSERT_NE(scgp->errbuf, nullptr);
    EXPECT_EQ(scgp->errbuf[0], '\0');
    EXPECT_EQ(scgp->errbuf_flushed, scgp->errbuf);
    EXPECT_EQ(scgp->errbuf_end, scgp->errbuf);
    EXPECT_NE(scgp->cmdrec, nullptr);
    EXPECT_NE(scgp->cmd_start, nullptr);
    EXPECT_NE(scgp->cmd_elapsed, nullptr);
    EXPECT_NE(scgp->inquiry_data, nullptr);
    EXPECT_NE(scgp->capacity_data, nullptr);
    EXPECT_EQ(scgp->transport_data, nullptr);
    EXPECT_EQ(scgp->dma_buffer, nullptr);
    scg_settimeout(scgp, 300);
    EXPECT_EQ(scgp->default_timeout, 300);
    scgp->transport_data = std::malloc(10);  // released with the handle
    scg_sfree(scgp);
    scg_sfree(nullptr);
}

TEST(Handle, SettargetAsksFilenoAndStoresTheAddress) {
    FakeTransport fake;
    SCSI* scgp = fake.make_handle();
    fake.fileno = [](int b, int t, int l) { return b * 100 + t * 10 + l; };
    EXPECT_EQ(scg_settarget(scgp, 1, 2, 3), 123);
    EXPECT_EQ(scgp->fd, 123);
    EXPECT_EQ(scgp->scsibus, 1);
    EXPECT_EQ(scgp->target, 2);
    EXPECT_EQ(scgp->lun, 3);
    scgp->ops = nullptr;
    EXPECT_EQ(scg_settarget(scgp, 0, 4, 0), -1);
    EXPECT_EQ(scgp->fd, -1);
    EXPECT_EQ(scgp->target, 4);
    scgp->ops = &FakeTransport::ops;
    EXPECT_EQ(scg_close(scgp), 0);
    EXPECT_EQ(fake.closes, 1);
}

}  // namespace

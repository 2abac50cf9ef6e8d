#include "aspisim/busconf.h"

#include <gtest/gtest.h>

#include <string>

namespace aspisim {
namespace {

std::string field(const auto& a) { return std::string(a.begin(), a.end()); }

std::string errors(const ParseResult& r) {
    std::string s;
    for (const std::string& e : r.errors) s += e + "\n";
    return s;
}

TEST(BusConf, EveryStatement) {
    ParseResult r = parse_bus(
        "# a bus\r\n"
        "adapters 3   # three of them\n"
        "support 0x01\n"
        "latency 25\n"
        "\n"
        "device 2 15 type=0x05 vendor=\"DRAVLIN \" product=\"CD-ROM QV-B8NB\\0\\x41\" revision=\"1.10\" "
        "medium=yes\r\n"
        "device 0 0 vendor=\"A\\\\B\\\"C\" product=\"X Y # comment\" flash=rom\n"
        "device 1 3\n"
        "fail 2 15 0x3B 2 status=0xE5 targstat=0 sense=7000050000\n"
        "fail 2 15 18 1 sense=70 00 04 00\n"
        "hang 0 0 0x00 4294967295\n"
        "ignore 0 0 0xE2 3\n"
        "corrupt 2 15 0x3B 64 65535\n"
        "swap 2 15 40 product=\"CD-R   QV-G567L \" revision=\"2.00\"\n"
        "restart 2 15 31.25 answer=old\n"
        "restart 0 0 3600\n"
        "moveto 2 15 1 4\n",
        "bus.txt");
    ASSERT_TRUE(r.ok) << errors(r);
    const BusConfig& c = r.config;
    EXPECT_EQ(c.adapters, 3);
    EXPECT_EQ(c.support, 0x01);
    EXPECT_EQ(c.latency_ms, 25u);
    ASSERT_EQ(c.devices.size(), 3u);

    const DeviceConf& d = c.devices[0];
    EXPECT_EQ(d.ha, 2);
    EXPECT_EQ(d.target, 15);
    EXPECT_EQ(d.type, 5);
    EXPECT_EQ(field(d.vendor), "DRAVLIN ");
    EXPECT_EQ(field(d.product), std::string("CD-ROM QV-B8NB\0A", 16));
    EXPECT_EQ(field(d.revision), "1.10");
    EXPECT_TRUE(d.medium);
    EXPECT_EQ(d.flash, Flash::writebuffer);  // the maker's drive
    EXPECT_EQ(d.line, 6);
    ASSERT_TRUE(d.swap && d.restart && d.moveto);
    EXPECT_EQ(d.swap->nth, 40u);
    EXPECT_EQ(field(*d.swap->product) + field(*d.swap->revision), "CD-R   QV-G567L 2.00");
    EXPECT_EQ(d.restart->seconds, 31.25);
    EXPECT_EQ(d.restart->answer, RestartAnswer::old);
    EXPECT_EQ(*d.moveto, (Address{1, 4}));
    EXPECT_EQ(c.devices[1].restart->seconds, 3600);
    EXPECT_EQ(c.devices[1].restart->answer, RestartAnswer::none);

    EXPECT_EQ(field(c.devices[1].vendor), "A\\B\"C   ");
    EXPECT_EQ(field(c.devices[1].product), "X Y # comment   ");  // a # inside a text is no comment
    EXPECT_EQ(c.devices[1].flash, Flash::rom);

    // Defaults: a blank CD-ROM device of no maker, revision 1.00, no disc.
    const DeviceConf& e = c.devices[2];
    EXPECT_EQ(e.type, 5);
    EXPECT_EQ(field(e.vendor), "        ");
    EXPECT_EQ(field(e.product), std::string(16, ' '));
    EXPECT_EQ(field(e.revision), "1.00");
    EXPECT_FALSE(e.medium);
    EXPECT_EQ(e.flash, Flash::none);
    EXPECT_FALSE(e.swap || e.restart || e.moveto);

    ASSERT_EQ(c.faults.size(), 5u);
    EXPECT_EQ(c.faults[0].opcode, 0x3B);
    EXPECT_EQ(c.faults[0].nth, 2u);
    EXPECT_EQ(c.faults[0].status, 0xE5);
    EXPECT_EQ(c.faults[0].targstat, 0);
    EXPECT_EQ(c.faults[0].sense, (std::vector<std::uint8_t>{0x70, 0, 5, 0, 0}));
    EXPECT_EQ(c.faults[0].kind, FaultKind::fail);
    EXPECT_EQ(c.faults[1].opcode, 0x12);
    EXPECT_EQ(c.faults[1].status, 0x04);
    EXPECT_EQ(c.faults[1].targstat, 0x02);
    EXPECT_EQ(c.faults[1].sense, (std::vector<std::uint8_t>{0x70, 0, 4, 0}));
    EXPECT_EQ(c.faults[2].kind, FaultKind::hang);
    EXPECT_EQ(c.faults[2].opcode, 0);
    EXPECT_EQ(c.faults[2].nth, 4294967295u);
    EXPECT_EQ(c.faults[2].sense.size(), 14u);  // the default hardware error
    EXPECT_EQ(c.faults[2].sense[12], 0x44);
    EXPECT_EQ(c.faults[3].kind, FaultKind::ignore);
    EXPECT_EQ(c.faults[4].kind, FaultKind::corrupt);
    EXPECT_EQ(c.faults[4].offset, 65535u);
}

TEST(BusConf, DefaultsAndEmptyText) {
    for (const char* text : {"", "\n", "# nothing\n   \n"}) {
        ParseResult r = parse_bus(text, "f");
        ASSERT_TRUE(r.ok);
        EXPECT_EQ(r.config.adapters, 1);
        EXPECT_EQ(r.config.support, 0x01);
        EXPECT_EQ(r.config.latency_ms, 0u);
        EXPECT_TRUE(r.config.devices.empty());
    }
}

TEST(BusConf, FlashByProduct) {
    auto flash = [](const char* vendor, const char* product) {
        std::array<char, 8> v;
        std::array<char, 16> p;
        std::copy_n(vendor, 8, v.begin());
        std::copy_n(product, 16, p.begin());
        return default_flash(v, p);
    };
    EXPECT_EQ(flash("DRAVLIN ", "*Loader Mode 1* "), Flash::rom);
    EXPECT_EQ(flash("DRAVLIN ", "CD-R   QV-G567L "), Flash::writebuffer);
    EXPECT_EQ(flash("DRAVLIN ", "CD-R   QV-G253K "), Flash::writebuffer);
    EXPECT_EQ(flash("MERIDIAN", "*Loader Mode 1* "), Flash::none);
    EXPECT_EQ(flash("DRAVLIN\0", "CD-R   QV-G567L "), Flash::none);
}

TEST(BusConf, BuiltInBus) {
    BusConfig c = default_bus();
    EXPECT_EQ(c.adapters, 2);
    ASSERT_EQ(c.devices.size(), 3u);
    EXPECT_EQ(c.devices[0].target, 2);
    EXPECT_EQ(field(c.devices[0].vendor) + field(c.devices[0].product) + field(c.devices[0].revision),
              "DRAVLIN CD-R   QV-G567L 1.00");
    EXPECT_FALSE(c.devices[0].medium);
    EXPECT_EQ(c.devices[0].flash, Flash::writebuffer);
    EXPECT_EQ(c.devices[1].target, 4);
    EXPECT_EQ(c.devices[1].flash, Flash::none);
    EXPECT_EQ(c.devices[2].ha, 1);
    EXPECT_EQ(c.devices[2].type, 0);
}

// Each refused statement is reported with its line; one bad line refuses the
// whole description.
TEST(BusConf, Refusals) {
    struct Case {
        const char* text;
        const char* error;
    };
    const Case cases[] = {
        {"device 0 2\nfrobnicate 1\n", "f:2: unknown statement 'frobnicate'"},
        {"adapters 256\n", "f:1: adapters: expected one number from 0 to 255"},
        {"adapters\n", "f:1: adapters: expected one number from 0 to 255"},
        {"adapters 1 2\n", "f:1: adapters: expected one number from 0 to 255"},
        {"adapters -1\n", "f:1: adapters: expected one number from 0 to 255"},
        {"adapters 2\nadapters 2\n", "f:2: adapters given twice"},
        {"support 0x100\n", "f:1: support: expected one number from 0 to 255"},
        {"latency 600001\n", "f:1: latency: expected one number from 0 to 600000"},
        {"latency 99999999999999999999999\n", "f:1: latency: expected one number from 0 to 600000"},
        {"device 0\n", "f:1: device: expected an adapter from 0 to 254 and a target from 0 to 15"},
        {"device 0 16\n", "f:1: device: expected an adapter from 0 to 254 and a target from 0 to 15"},
        {"device 0 7\n", "f:1: device: target 7 is the host adapter's own SCSI id"},
        {"device 1 2\n", "f:1: device on adapter 1, but there are 1 adapters"},
        {"device 0 2 colour=red\n", "f:1: device: unknown key 'colour'"},
        {"device 0 2 medium\n", "f:1: device: expected key=value, got 'medium'"},
        {"device 0 2 medium=maybe\n", "f:1: device: medium must be yes or no"},
        {"device 0 2 flash=eprom\n", "f:1: device: flash must be writebuffer, rom or none"},
        {"device 0 2 type=32\n", "f:1: device: type must be a number from 0 to 31"},
        {"device 0 2 type=1 type=1\n", "f:1: device: type given twice"},
        {"device 0 2 vendor=DRAVLIN\n", "f:1: device: vendor must be a text in double quotes"},
        {"device 0 2 vendor=\"DRAVLIN X\"\n", "f:1: device: vendor is longer than 8 characters"},
        {"device 0 2 revision=\"1.100\"\n", "f:1: device: revision is longer than 4 characters"},
        {"device 0 2 product=\"\\q\"\n",
         "f:1: device: product has an unknown escape (use \\0, \\xNN, \\\\ or \\\")"},
        {"device 0 2 product=\"\\x4\"\n",
         "f:1: device: product has an unknown escape (use \\0, \\xNN, \\\\ or \\\")"},
        {"device 0 2 product=\"AB\n", "f:1: unterminated text"},
        {"device 0 2\ndevice 0 2\n", "f:2: device: a device at 0 2 was declared on line 1"},
        {"fail 0 2 0x12 1\n", "f:1: no device at 0 2"},
        {"device 0 2\nfail 0 2 0x12 0\n",
         "f:2: fail: expected an opcode from 0x00 to 0xFF and a count from 1"},
        {"device 0 2\nfail 0 2 0x100 1\n",
         "f:2: fail: expected an opcode from 0x00 to 0xFF and a count from 1"},
        {"device 0 2\nhang 0 2 0x12\n", "f:2: hang: expected an opcode from 0x00 to 0xFF and a count from 1"},
        {"device 0 2\nhang 0 2 0x12 1 status=0x04\n", "f:2: hang: unexpected 'status=0x04'"},
        {"device 0 2\nfail 0 2 0x12 1 sense=700\n", "f:2: fail: sense must be pairs of hexadecimal digits"},
        {"device 0 2\nfail 0 2 0x12 1 sense=70 0g\n", "f:2: fail: sense must be pairs of hexadecimal digits"},
        {"device 0 2\nfail 0 2 0x12 1 targstat=256\n",
         "f:2: fail: targstat must be a number from 0x00 to 0xFF"},
        {"device 0 2\nfail 0 2 0x12 1 color=1\n", "f:2: fail: unknown key 'color'"},
        {"device 0 2\nfail 0 2 0x12 1 00\n", "f:2: fail: unexpected '00'"},
        {"device 0 2\nfail 0 2 0x12 1\nhang 0 2 18 1\n",
         "f:3: hang: that command was given a fault on line 2"},
        {"device 0 2\nignore 0 2 0x12 1 x\n", "f:2: ignore: unexpected 'x'"},
        {"device 0 2\ncorrupt 0 2 0x3B 1 65536\n",
         "f:2: corrupt: expected an opcode from 0x00 to 0xFF, a count from 1 and an offset from 0 to 65535"},
        {"swap 0 2 1\n", "f:1: no device at 0 2"},
        {"device 0 2\nswap 0 2 0\n", "f:2: swap: expected a count from 1"},
        {"device 0 2\nswap 0 2 9\nswap 0 2 5\n", "f:3: swap: the device at 0 2 was given one on line 2"},
        {"device 0 2\nrestart 0 2 1 answer=later\n", "f:2: restart: answer must be none, old or notready"},
        {"device 0 2\nmoveto 0 2 1\n",
         "f:2: moveto: expected a new adapter from 0 to 254 and a new target from 0 to 15"},
        {"device 0 2\nmoveto 0 2 1 3\n", "f:2: moveto to adapter 1, but there are 1 adapters"},
        {"device 0 2\nmoveto 0 2 0 2\n", "f:2: moveto: a device at 0 2 was declared on line 1"},
        {"device 0 2\ndevice 0 3\nmoveto 0 2 0 4\nmoveto 0 3 0 4\n",
         "f:4: moveto: line 3 moves a device to 0 4"},
    };
    // Seconds are plain decimals.
    for (const char* s : {"", "-1", "1.", ".5", "1e3", "0x10", "1.5.0", "3601", "3600.5"})
        EXPECT_EQ(errors(parse_bus("device 0 2\nrestart 0 2 " + std::string(s) + "\n", "f")),
                  "f:2: restart: expected seconds from 0 to 3600\n")
            << s;
    for (const Case& c : cases) {
        ParseResult r = parse_bus(c.text, "f");
        EXPECT_FALSE(r.ok) << c.text;
        EXPECT_EQ(errors(r), std::string(c.error) + "\n") << c.text;
    }
    std::string long_sense = "device 0 2\nfail 0 2 0 1 sense=" + std::string(130, '0') + "\n";
    EXPECT_EQ(errors(parse_bus(long_sense, "f")), "f:2: fail: sense longer than 64 bytes\n");
}

TEST(BusConf, EveryBadLineIsReported) {
    ParseResult r = parse_bus("bogus\ndevice 0 2\nlatency x\n", "bus");
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(errors(r),
              "bus:1: unknown statement 'bogus'\n"
              "bus:3: latency: expected one number from 0 to 600000\n");
    EXPECT_TRUE(r.config.devices.empty());  // nothing of a refused description is used
}

}  // namespace
}  // namespace aspisim

// The command line's drive address, checked before any drive is touched.
#include <gtest/gtest.h>

#include "tool/address.h"

namespace {

TEST(Address, DevTextMustNameItsBusAndTarget) {
    // No address, the documented forms, and what the library judges itself
    // (a device name, a stray character, the remote forms).
    for (const char* text :
         {"", "1,2,0", "2,0", "2,", ":1,2,0", "name:@", "5", "0,4294967298,0", "REMOTE:h:"})
        EXPECT_TRUE(DevTextNamesTarget(text)) << '"' << text << '"';
    // Also every number the library would read otherwise than as written.
    for (const char* text : {",", ",,", ",2", ",2,0", "1,,0", " ,2", ":", "1:", "1: ", ":,2", "1,x",
                             " 1, 2, 0", "0,0x2,0", "0,010,0", "0,2x,0", "+1,2", "0,-2"})
        EXPECT_FALSE(DevTextNamesTarget(text)) << '"' << text << '"';
}

TEST(Address, KernelNamesAreTheLayersToResolve) {
    for (const char* text : {"/dev/sg3", "/dev/sr0", "2:0:0:0", "10:2:255:0"})
        EXPECT_TRUE(DevTextIsName(text)) << '"' << text << '"';
    for (const char* text :
         {"", "1,2,0", "2:0:0", "2:0:0:0:0", "2:0::0", ":2:0:0", "2:0:0:", "a:0:0:0", "dev:1,2,0"})
        EXPECT_FALSE(DevTextIsName(text)) << '"' << text << '"';
}

TEST(Address, OptionNumbersAreWholeDecimalsWithinAByte) {
    for (const char* arg : {"-ha:-1", "-ha:256", "-ha:4294967297", "-ha: 255", "-id:0x2", "-id:2x", "-id:02",
                            "-id:+2", "-id:-2"})
        EXPECT_EQ(OptionNumber(arg, arg[1] == 'i' ? -1 : 0), std::nullopt) << arg;
    for (const auto& [arg, n] : {std::pair{"-ha:255", 255}, {"-id:-1", -1}, {"-id:", 0}, {"-id:0", 0}})
        EXPECT_EQ(OptionNumber(arg, -1), n) << arg;
}

}  // namespace

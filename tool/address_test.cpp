// The command line's drive address, checked before any drive is touched.
#include <gtest/gtest.h>

#include "tool/qvupgrade.h"

namespace {

TEST(Address, DevTextMustNameItsBusAndTarget) {
    // No address, the documented forms, and what the library judges itself
    // (a device name, a stray character, the remote forms).
    for (const char* text :
         {"", "1,2,0", "2,0", "2,", " 1, 2, 0", ":1,2,0", "name:@", "5", "1,x", "REMOTE:h:"})
        EXPECT_TRUE(DevTextNamesTarget(text)) << '"' << text << '"';
    for (const char* text : {",", ",,", ",2", ",2,0", "1,,0", " ,2", ":", "1:", "1: ", ":,2"})
        EXPECT_FALSE(DevTextNamesTarget(text)) << '"' << text << '"';
}

TEST(Address, KernelNamesAreTheLayersToResolve) {
    for (const char* text : {"/dev/sg3", "/dev/sr0", "2:0:0:0", "10:2:255:0"})
        EXPECT_TRUE(DevTextIsName(text)) << '"' << text << '"';
    for (const char* text :
         {"", "1,2,0", "2:0:0", "2:0:0:0:0", "2:0::0", ":2:0:0", "2:0:0:", "a:0:0:0", "dev:1,2,0"})
        EXPECT_FALSE(DevTextIsName(text)) << '"' << text << '"';
}

TEST(Address, OptionNumbersStayWithinAByte) {
    for (const char* arg : {"-ha:-1", "-ha:256", "-ha:4294967297"})
        EXPECT_EQ(OptionNumber(arg, 0), std::nullopt) << arg;
    EXPECT_EQ(OptionNumber("-ha: 255", 0), 255);
    EXPECT_EQ(OptionNumber("-id:-1", -1), -1);
}

}  // namespace

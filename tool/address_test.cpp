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

TEST(Address, OptionNumbersStayWithinAByte) {
    int n = 7;
    for (const char* arg : {"-ha:-1", "-ha:256", "-ha:4294967297"})
        EXPECT_FALSE(OptionNumber(arg, 0, n)) << arg;
    EXPECT_EQ(n, 7);
    EXPECT_TRUE(OptionNumber("-ha: 255", 0, n) && n == 255);
    EXPECT_TRUE(OptionNumber("-id:-1", -1, n) && n == -1);
}

}  // namespace

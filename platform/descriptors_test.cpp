#include "platform/descriptors.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>

namespace {

// A closed standard stream is the lowest free descriptor: a node opened
// then lands on it and must be moved. Run in a child, whose streams may go.
TEST(DescriptorsDeathTest, NothingStaysOnAStandardStream) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (int closed : {0, 1, 2}) {
        EXPECT_EXIT(
            {
                ::close(closed);
                int landed = ::open("/dev/null", O_RDWR | O_CLOEXEC);
                int fd = platform::above_stdio(landed);
                bool ok = landed == closed && fd > 2 && (::fcntl(fd, F_GETFD) & FD_CLOEXEC) &&
                          ::fcntl(closed, F_GETFD) == -1;
                std::_Exit(ok ? 0 : 1);
            },
            testing::ExitedWithCode(0), "")
            << "descriptor " << closed;
    }
}

}  // namespace

// The tool's functions in the test's own process: a link whose transport is
// the scripted fake (its answers set by the test, or by the simulator's
// drives through qvtest::SimulatedBus for whole runs), a clock that moves
// only as the run sleeps, and what a call says on standard output and error.
//
//     class ListingTest : public qvtest::ToolTest {};
//     TEST_F(ListingTest, ...) {
//         qvtest::AnswerAsBus(fake, {{{0, 2}, qvtest::InquiryReply(...)}});
//         ASSERT_EQ(Open().end, std::nullopt);
//         qvtest::Said said = qvtest::Capture([&] { ListDrives(*link, dialogue); });
//     }
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "scg/testing/fake_transport.h"
#include "support/printf.h"
#include "testing/scsitest.h"
#include "testing/simbus.h"
#include "testing/testsupport.h"
#include "tool/clock.h"
#include "tool/cmdline.h"
#include "tool/dialogue.h"
#include "tool/link.h"
#include "tool/runend.h"
#include "tool/session.h"

inline bool operator==(const RunEnd& a, const RunEnd& b) {
    return a.status == b.status && a.fatal == b.fatal;
}
inline void PrintTo(const RunEnd& e, std::ostream* os) {
    *os << "{" << e.status << ", \"" << e.fatal << "\"}";
}

namespace qvtest {

// What a call wrote to standard output and standard error.
struct Said {
    std::string out;
    std::string err;
};

template <class F>
Said Capture(F&& call) {
    StderrCapture err;
    ::testing::internal::CaptureStdout();
    call();
    sup::flush();
    std::fflush(stdout);
    Said said;
    said.out = ::testing::internal::GetCapturedStdout();
    said.err = err.text();
    return said;
}

// The run's time in a test: it moves only as the run sleeps.
class FakeClock : public Clock {
public:
    Duration now() override { return now_; }
    void sleep(Duration d) override { now_ += d; }

private:
    Duration now_{0};
};

// How a whole run ended: what it said (main's last line included, as main
// says it, after "qvupdate: ") and its status.
struct Ran {
    std::string out, err;
    int status = -1;
};

class ToolTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // The session set-up of a run with these arguments (no program name),
    // on a new link.
    SessionSetUp Open(const std::vector<std::string>& args = {});
    // The run of `qvupdate args`, answered from input, on a new link.
    Ran Run(const std::vector<std::string>& args, const std::string& input = "");
    // The drives of a bus description behind the fake from now on, in the
    // run's time: a hung command costs the run its time-out. Every command
    // sent so far is forgotten.
    SimulatedBus& SetBus(const std::string& description);
    // An image in the test's folder; its path.
    std::string WriteImage(const std::vector<unsigned char>& image, const std::string& name = "fw.bin");

    scg_fake::FakeTransport fake;
    // The table scg_open installs: the fake's, with slots a test may replace.
    scg_ops ops = scg_fake::FakeTransport::ops;
    std::optional<Link> link;
    FakeClock clock;
    Options options;
    CapturedStream input;
    Dialogue dialogue{input};
    TempDir dir{"qvtool"};
    std::optional<SimulatedBus> bus;

private:
    const scg_ops* previous_ = nullptr;
};

}  // namespace qvtest

// The tool's functions in the test's own process, on the scripted fake
// transport: a session whose scg_open finds the fake where it looks for
// ASPI, and what a call says on standard output and error.
//
//     class ListingTest : public qvtest::SessionTest {};
//     TEST_F(ListingTest, ...) {
//         qvtest::AnswerAsBus(fake, {{{0, 2}, qvtest::InquiryReply(...)}});
//         ASSERT_EQ(Open(), std::nullopt);
//         qvtest::Said said = qvtest::Capture([&] { ListDrives(*s); });
//     }
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <ostream>
#include <string>

#include "scg/scsihack.h"
#include "scg/testing/fake_transport.h"
#include "support/printf.h"
#include "support/utils.h"
#include "testing/scsitest.h"
#include "testing/testsupport.h"
#include "tool/qvupgrade.h"

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

class SessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        static char name[] = "qvupdate";
        static char* argv[] = {name, nullptr};
        sup::save_args(1, argv);
        previous_ = scg_set_std_transport(&ops);
        s.emplace();
    }
    void TearDown() override {
        s.reset();
        scg_set_std_transport(previous_);
    }

    // Opens the session as a run with these options does; what ends the
    // run when it failed.
    std::optional<RunEnd> Open(const char* devtext = nullptr, int ha = 0, int id = -1) {
        s->options.devtext = devtext;
        s->options.ha = ha;
        s->options.id = id;
        return initscsi(*s);
    }

    scg_fake::FakeTransport fake;
    // The table scg_open installs: the fake's, with slots a test may replace.
    scg_ops ops = scg_fake::FakeTransport::ops;
    std::optional<Session> s;

private:
    const scg_ops* previous_ = nullptr;
};

}  // namespace qvtest

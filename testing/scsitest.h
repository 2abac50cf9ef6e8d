// Test support for the layers that talk SCSI through the scripted fake
// transport: replies a drive gives.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <utility>

#include "scg/testing/fake_transport.h"
#include "testing/testsupport.h"

namespace qvtest {

// A fixture with a handle on the fake transport, addressed at 0,1,0, whose
// error stream is captured: err() is what the handle printed so far.
class HandleTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    std::string err() const { return out.text(); }

    scg_fake::FakeTransport fake;
    SCSI* scgp = nullptr;
    CapturedStream out;
};

// A command that ended in CHECK CONDITION with fixed-format sense bytes.
scg_fake::Reply CheckCondition(unsigned char key, unsigned char asc, unsigned char ascq = 0);

// The 36 bytes of standard INQUIRY data of a CD-ROM drive: the fields
// blank-padded as given, each cut at its own width.
scg_fake::Reply InquiryReply(const std::string& vendor, const std::string& product,
                             const std::string& revision);

// The devices of a bus by (bus, target), each with its answer to INQUIRY.
using Devices = std::map<std::pair<int, int>, scg_fake::Reply>;
// Has the fake answer like a bus once its queue is empty: INQUIRY at a
// device with the device's reply, any other command there with success, and
// every command elsewhere as a missing device (a fatal error, EINVAL), the
// way the ASPI transport reports a selection time-out.
void AnswerAsBus(scg_fake::FakeTransport& fake, Devices devices);

}  // namespace qvtest

// Test support for the layers that talk SCSI through the scripted fake
// transport: replies a drive gives.
#pragma once

#include <string>

#include "scg/testing/fake_transport.h"

namespace qvtest {

// A command that ended in CHECK CONDITION with fixed-format sense bytes.
scg_fake::Reply CheckCondition(unsigned char key, unsigned char asc, unsigned char ascq = 0);

// The 36 bytes of standard INQUIRY data of a CD-ROM drive: the fields
// blank-padded as given, each cut at its own width.
scg_fake::Reply InquiryReply(const std::string& vendor, const std::string& product, const std::string& revision);

}  // namespace qvtest

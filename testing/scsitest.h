// Test support for the layers that talk SCSI through the scripted fake
// transport: replies a drive gives.
#pragma once

#include "scg/testing/fake_transport.h"

namespace qvtest {

// A command that ended in CHECK CONDITION with fixed-format sense bytes.
scg_fake::Reply CheckCondition(unsigned char key, unsigned char asc, unsigned char ascq = 0);

}  // namespace qvtest

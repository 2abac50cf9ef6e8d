// The entries of a drive table as "(ha,id) (ha,id) ...", for tests.
#pragma once

#include <string>

#include "drivecmd/drive.h"

namespace qvtest {

inline std::string Entries(const DriveTable& t) {
    std::string s;
    for (int i = 0; i < t.ndrive; i++)
        s += (i ? " (" : "(") + std::to_string(t.arHA[i]) + "," + std::to_string(t.arID[i]) + ")";
    return s;
}

}  // namespace qvtest

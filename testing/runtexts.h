// What every run of qvupdate says, for the tests that compare its output
// (in the tool's own process or of the built program).
#pragma once

#include <string>

namespace qvtest {

// The banner every run prints first.
extern const char kBanner[];
// The warning and the confirmation prompt of the first upgrade of a run.
extern const char kWarning[];
// The line after "Error upgrading drive" when the flash may be partly written.
extern const char kPartlyWritten[];
extern const char kUsage[];
// The -debug listing of the product table.
std::string ProductTable();
std::string JumperNotice();

// The report on standard error of a command that the simulator failed with
// its default fault (hardware error, internal target failure), as program
// says it; cdb in the report's hex form ("12 00 00 00 38 00").
std::string FaultReport(const std::string& program, const std::string& cmd_name, const std::string& cdb);
// Standard error with each command's elapsed time set to 0.000s.
std::string ZeroTimes(std::string err);

}  // namespace qvtest

// What every run of qvupdate says, for the tests that compare its output.
#include "testing/runtexts.h"

namespace qvtest {

const char kBanner[] =
    " ___________________________________________________________________________ \n"
    "|    QVUpdate V1.21                                           01/05/09      |\n"
    "|    Dravlin Firmware Update program                                        |\n"
    " ___________________________________________________________________________ \n";

const char kWarning[] =
    "                 WARNING!\n"
    "Firmware updates should be done in single user mode.\n"
    "If you cannot put your machine into single user mode,\n"
    "unmount and remove any media from the drive and stop\n"
    "volume management.\n"
    "\n"
    "Continue? (y/n) ";

const char kPartlyWritten[] =
    "Warning: the drive's flash is only partly written. Run the upgrade again before you switch the "
    "drive off.\n";

std::string FaultReport(const std::string& program, const std::string& cmd_name, const std::string& cdb) {
    return program + ": Input/output error. " + cmd_name +
           ": scsi sendcmd: retryable error\n"
           "CDB:  " +
           cdb +
           "\n"
           "status: 0x2 (CHECK CONDITION)\n"
           "Sense Bytes: 70 00 04 00 00 00 00 0A 00 00 00 00 44 00\n"
           "Sense Key: 0x4 Hardware Error, Segment 0\n"
           "Sense Code: 0x44 Qual 0x00 (internal target failure) Fru 0x0\n"
           "Sense flags: Blk 0 (not valid) \n"
           "cmd finished after 0.000s timeout 300s\n";
}

std::string ZeroTimes(std::string err) {
    static const std::string mark = "cmd finished after ";
    for (std::size_t at = err.find(mark); at != std::string::npos; at = err.find(mark, at + 1)) {
        std::size_t from = at + mark.size();
        std::size_t to = err.find('s', from);
        if (to != std::string::npos) err.replace(from, to - from, "0.000");
    }
    return err;
}

const char kUsage[] =
    "Usage: qvupdate filename [dev=scsidev] [-ha:ha_id] [-id:target_id] [-all] [-l]\n"
    "example: qvupdate g253k106.bin -all\n"
    "example: qvupdate g253k106.bin dev=3,0\n";

std::string ProductTable() {
    static const char* const rows[] = {
        "CD-ROM QV-B1MA  ", "CD-ROM QV-B1MB  ", "CD-ROM QV-B1MC  ", "CD-ROM QV-B2MB  ", "CD-ROM QV-B3MB  ",
        "CD-ROM QV-B5MB  ", "CD-ROM QV-B5NB  ", "CD-ROM QV-B6NB  ", "CD-ROM QV-B7NB  ", "CD-ROM QV-B7MB  ",
        "CD-R   QV-G253K ", "*Loader Mode 1* ", "CD-ROM QV-B8NB  ", "CD-R   QV-G567L ", "CD-ROM QV-B8NV  ",
        "CD-R   QV-H3551L", "CD-R   QV-H7551L", "CD-ROM QV-xxNB  ", "CD-R   QV-H7763L", "CD-R   QV-H953NB",
        "CD-R   QV-H9549A", "CD-R   QV-H9549S", "CD-R   QV-H9749A",
    };
    std::string table;
    int i = 0;
    for (const char* row : rows) table += std::to_string(i++) + "\t" + row + "\n";
    return table;
}

std::string JumperNotice() {
    static const char* const lines[] = {
        "You need to install a jumper to enable upgrade .",
        "Rear side of view of QV-G253K :",
        "                   BLOCK",
        "      SCSI-ID      | FLASH",
        "       | | |       | |",
        "       . . . . . . . .",
        "       . . . . . .|. .|   SCSI connector",
        "      PCB side    ----- <- jumper",
    };
    std::string notice = "\n";
    for (std::string line : lines) {
        line.resize(63, ' ');
        notice += line + "\n";
    }
    return notice;
}

}  // namespace qvtest

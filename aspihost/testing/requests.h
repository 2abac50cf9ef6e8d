// Request blocks as the ASPI transport fills them, for the ASPI layers' tests.
#pragma once

#include <cstring>
#include <vector>

#include "platform/aspi.h"
#include "platform/winevent.h"

namespace aspitest {

// An SC_EXEC_SCSI_CMD block that signals `event`; `dir` adds SRB_DIR_IN,
// SRB_DIR_OUT or other flags.
inline SRB_ExecSCSICmd block(int ha, int target, const std::vector<std::uint8_t>& cdb, std::uint8_t* buf,
                             std::uint32_t len, BYTE dir, HANDLE event, int lun = 0) {
    SRB_ExecSCSICmd s{};
    s.SRB_Cmd = SC_EXEC_SCSI_CMD;
    s.SRB_HaId = static_cast<BYTE>(ha);
    s.SRB_Flags = static_cast<BYTE>(SRB_EVENT_NOTIFY | dir);
    s.SRB_Target = static_cast<BYTE>(target);
    s.SRB_Lun = static_cast<BYTE>(lun);
    s.SRB_BufLen = len;
    s.SRB_BufPointer = buf;
    s.SRB_SenseLen = SENSE_LEN;
    s.SRB_CDBLen = static_cast<BYTE>(cdb.size());
    s.SRB_PostProc = event;
    if (!cdb.empty()) std::memcpy(s.CDBByte, cdb.data(), cdb.size());
    return s;
}

}  // namespace aspitest

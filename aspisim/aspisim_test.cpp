// The simulated ASPI layer through the entry points of the real shared
// object, as the ASPI transport reaches it.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "aspihost/crc32.h"
#include "aspihost/transcript.h"
#include "aspihost/testing/requests.h"
#include "aspisim/busconf.h"
#include "aspisim/device.h"
#include "aspisim/faults.h"
#include "aspisim/statefile.h"
#include "aspisim/testing/simenv.h"
#include "fwimage/fwimage.h"
#include "platform/aspi.h"
#include "platform/winevent.h"
#include "testing/testsupport.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

struct Api {
    void* lib;
    GetASPI32SupportInfo_t support;
    SendASPI32Command_t send;
    void (*reload)();
    int (*log_to)(const char*);
    int (*record_to)(const char*, const char*);
};

const Api& api() {
    static const Api a = [] {
        void* lib = dlopen(WNASPI32_PATH, RTLD_NOW | RTLD_LOCAL);
        if (lib == nullptr) {
            ADD_FAILURE() << dlerror();
            std::abort();
        }
        Api x{lib,
              reinterpret_cast<GetASPI32SupportInfo_t>(dlsym(lib, "GetASPI32SupportInfo")),
              reinterpret_cast<SendASPI32Command_t>(dlsym(lib, "SendASPI32Command")),
              reinterpret_cast<void (*)()>(dlsym(lib, "aspisim_reload")),
              reinterpret_cast<int (*)(const char*)>(dlsym(lib, "ASPILogTo")),
              reinterpret_cast<int (*)(const char*, const char*)>(dlsym(lib, "ASPIRecordTo"))};
        return x;
    }();
    return a;
}

std::string text(const void* p, std::size_t n) { return std::string(static_cast<const char*>(p), n); }

using aspitest::block;

class Sim : public testing::Test {
protected:
    void SetUp() override {
        tmp_.emplace("aspisim-test");
        dir_ = tmp_->path();
        event_ = CreateEventA(nullptr, 1, 0, nullptr);
    }
    void TearDown() override {
        CloseHandle(event_);
        tmp_.reset();
        api().reload();
    }

    // Writes the bus description and starts the layer afresh on it.
    void bus(const std::string& description) {
        std::ofstream(dir_ + "/bus") << description;
        env_.set("ASPISIM_BUS", dir_ + "/bus");
        restart();
    }
    // The line by which the layer names a described bus as it starts.
    static std::string described(const std::string& path) {
        return "aspisim: using the simulated bus described in " + path + "\n";
    }
    // Starts the layer afresh; returns what it said on standard error.
    std::string restart() {
        api().reload();
        testing::internal::CaptureStderr();
        api().support();
        return testing::internal::GetCapturedStderr();
    }

    DWORD send(void* srb) { return api().send(srb); }

    // Sends a command and waits for its completion.
    SRB_ExecSCSICmd run(int ha, int target, const Bytes& cdb, std::uint8_t* buf = nullptr,
                        std::uint32_t len = 0, BYTE dir = 0, int lun = 0) {
        SRB_ExecSCSICmd s = block(ha, target, cdb, buf, len, dir, event_, lun);
        ResetEvent(event_);
        if (send(&s) == SS_PENDING) {
            if (WaitForSingleObject(event_, 5000) != WAIT_OBJECT_0) {
                ADD_FAILURE() << "no completion";
                SRB_Abort a{};
                a.SRB_Cmd = SC_ABORT_SRB;
                a.SRB_HaId = static_cast<BYTE>(ha);
                a.SRB_ToAbort = &s;
                send(&a);
            }
        }
        return s;
    }

    std::string inquiry_id(int ha, int target) {
        std::uint8_t d[96] = {};
        SRB_ExecSCSICmd s = run(ha, target, {0x12, 0, 0, 0, 96, 0}, d, 96, SRB_DIR_IN);
        EXPECT_EQ(s.SRB_Status, SS_COMP);
        return text(d + 8, 28);
    }

    // Sense key, ASC and ASCQ of a completed block, e.g. "05/20/00".
    static std::string sense(const SRB_ExecSCSICmd& s) {
        char b[16];
        std::snprintf(b, sizeof b, "%02X/%02X/%02X", s.SenseArea[2], s.SenseArea[12], s.SenseArea[13]);
        return b;
    }

    SRB_ExecSCSICmd write_buffer(int ha, int target, int mode, int id, std::uint32_t offset,
                                 const std::uint8_t* data, std::uint32_t len) {
        Bytes cdb = {0x3B,
                     std::uint8_t(mode),
                     std::uint8_t(id),
                     std::uint8_t(offset >> 16),
                     std::uint8_t(offset >> 8),
                     std::uint8_t(offset),
                     std::uint8_t(len >> 16),
                     std::uint8_t(len >> 8),
                     std::uint8_t(len),
                     0};
        return run(ha, target, cdb, const_cast<std::uint8_t*>(data), len, SRB_DIR_OUT);
    }

    // The WRITE BUFFER download of the upgrade procedure; the status of the
    // closing piece.
    BYTE download(int ha, int target, const Bytes& img) {
        auto n = static_cast<std::uint32_t>(img.size() / 8192);
        for (std::uint32_t p = 0; p + 1 < n; p++)
            EXPECT_EQ(write_buffer(ha, target, 4, 0, p * 8192, img.data() + p * 8192, 8192).SRB_Status,
                      SS_COMP);
        return write_buffer(ha, target, 5, 0, (n - 1) * 8192, img.data() + (n - 1) * 8192, 8192).SRB_Status;
    }

    static Bytes flash_cmd(std::uint8_t op, std::uint8_t b1, std::uint32_t addr, std::uint32_t len) {
        return {op,
                b1,
                std::uint8_t(addr >> 24),
                std::uint8_t(addr >> 16),
                std::uint8_t(addr >> 8),
                std::uint8_t(addr),
                std::uint8_t(len >> 24),
                std::uint8_t(len >> 16),
                std::uint8_t(len >> 8),
                std::uint8_t(len),
                0,
                0};
    }

    std::string read_version(int ha, int target) {
        std::uint8_t d[32] = {};
        SRB_ExecSCSICmd s = run(ha, target, flash_cmd(0xE3, 0, 0x100180, 32), d, 32, SRB_DIR_IN);
        EXPECT_EQ(s.SRB_Status, SS_COMP);
        return text(d + 24, 4);
    }

    static Bytes image(int type, const char* version) {
        Bytes img;
        EXPECT_EQ(fwimage::build(type, version, {}, img), "");
        return img;
    }

    simtest::SimEnvironment env_;  // none of the layer's variables but those a test sets
    std::optional<qvtest::TempDir> tmp_;
    std::string dir_;
    HANDLE event_ = nullptr;
};

const char loader_bus[] =
    "adapters 1\n"
    "device 0 3 vendor=\"DRAVLIN \" product=\"*Loader Mode 1* \" revision=\"1.02\"\n"
    "device 0 2 vendor=\"DRAVLIN \" product=\"CD-R   QV-G567L \" revision=\"1.00\"\n";

TEST_F(Sim, BuiltInBus) {
    EXPECT_EQ(restart(), "aspisim: using the built-in simulated bus\n");
    EXPECT_EQ(api().support(), 0x0102u);

    EXPECT_EQ(inquiry_id(0, 2), "DRAVLIN CD-R   QV-G567L 1.00");
    EXPECT_EQ(inquiry_id(0, 4).substr(0, 8), "MERIDIAN");
    std::uint8_t d[36] = {};
    SRB_ExecSCSICmd s = run(1, 0, {0x12, 0, 0, 0, 36, 0}, d, 36, SRB_DIR_IN);
    EXPECT_EQ(s.SRB_Status, SS_COMP);
    EXPECT_EQ(d[0], 0);                                            // a disk
    EXPECT_EQ(run(1, 0, {0, 0, 0, 0, 0, 0}).SRB_Status, SS_COMP);  // with its medium

    // No disc in the drive: not ready, medium not present.
    s = run(0, 2, {0, 0, 0, 0, 0, 0});
    EXPECT_EQ(s.SRB_Status, SS_ERR);
    EXPECT_EQ(s.SRB_TargStat, 0x02);
    EXPECT_EQ(s.SRB_HaStat, HASTAT_OK);
    EXPECT_EQ(sense(s), "02/3A/00");
    EXPECT_EQ(s.SenseArea[0], 0x70);
    EXPECT_EQ(s.SenseArea[7], 0x0A);
}

TEST_F(Sim, AdapterInquiry) {
    restart();
    for (int ha : {0, 1}) {
        SRB_HAInquiry h{};
        h.SRB_Cmd = SC_HA_INQUIRY;
        h.SRB_HaId = static_cast<BYTE>(ha);
        EXPECT_EQ(send(&h), SS_COMP);
        EXPECT_EQ(h.SRB_Status, SS_COMP);
        EXPECT_EQ(h.HA_Count, 2);
        EXPECT_EQ(h.HA_SCSI_ID, 7);
        EXPECT_EQ(text(h.HA_ManagerId, 16), "ASPI for WIN32  ");
        EXPECT_EQ(text(h.HA_Identifier, 16), "ASPISIM         ");
    }
    SRB_HAInquiry h{};
    h.SRB_Cmd = SC_HA_INQUIRY;
    h.SRB_HaId = 2;
    EXPECT_EQ(send(&h), SS_INVALID_HA);
    EXPECT_EQ(h.SRB_Status, SS_INVALID_HA);
}

TEST_F(Sim, AddressesWithoutDevice) {
    restart();
    // Selection time-out for an empty target and for a LUN other than 0.
    for (auto [target, lun] : {std::pair{3, 0}, std::pair{2, 1}}) {
        SRB_ExecSCSICmd s = run(0, target, {0x12, 0, 0, 0, 36, 0}, nullptr, 0, 0, lun);
        EXPECT_EQ(s.SRB_Status, SS_ERR);
        EXPECT_EQ(s.SRB_HaStat, HASTAT_SEL_TO);
    }
    SRB_ExecSCSICmd s = block(9, 2, {0, 0, 0, 0, 0, 0}, nullptr, 0, 0, event_);
    EXPECT_EQ(send(&s), SS_INVALID_HA);
    EXPECT_EQ(s.SRB_Status, SS_INVALID_HA);

    SRB_GDEVBlock g{};
    g.SRB_Cmd = SC_GET_DEV_TYPE;
    g.SRB_Target = 2;
    EXPECT_EQ(send(&g), SS_COMP);
    EXPECT_EQ(g.SRB_DeviceType, 5);
    g.SRB_Target = 3;
    EXPECT_EQ(send(&g), SS_NO_DEVICE);
}

TEST_F(Sim, MalformedRequests) {
    restart();
    EXPECT_EQ(send(nullptr), SS_INVALID_SRB);
    SRB_ExecSCSICmd s = block(0, 2, {}, nullptr, 0, 0, event_);
    EXPECT_EQ(send(&s), SS_INVALID_SRB);  // no CDB
    s = block(0, 2, {0x12, 0, 0, 0, 36, 0}, nullptr, 36, SRB_DIR_IN, event_);
    EXPECT_EQ(send(&s), SS_INVALID_SRB);  // data without a buffer
    SRB_Header h{};
    h.SRB_Cmd = 0x7F;
    EXPECT_EQ(send(&h), SS_INVALID_CMD);
}

TEST_F(Sim, InquiryNeverWritesBeyondTheBufferOrTheAllocationLength) {
    restart();
    std::uint8_t d[128];
    // Allocation length below the buffer: only that much arrives.
    std::memset(d, 0xEE, sizeof d);
    EXPECT_EQ(run(0, 2, {0x12, 0, 0, 0, 36, 0}, d, 96, SRB_DIR_IN).SRB_Status, SS_COMP);
    EXPECT_EQ(text(d + 8, 8), "DRAVLIN ");
    EXPECT_EQ(d[35], '0');
    EXPECT_EQ(d[36], 0xEE);
    // A buffer smaller than the allocation length bounds the transfer.
    std::memset(d, 0xEE, sizeof d);
    EXPECT_EQ(run(0, 2, {0x12, 0, 0, 0, 96, 0}, d, 20, SRB_DIR_IN).SRB_Status, SS_COMP);
    EXPECT_EQ(d[19], 'R');
    EXPECT_EQ(d[20], 0xEE);
    // The standard data is 96 bytes, whatever is asked for.
    std::memset(d, 0xEE, sizeof d);
    EXPECT_EQ(run(0, 2, {0x12, 0, 0, 0, 255, 0}, d, 128, SRB_DIR_IN).SRB_Status, SS_COMP);
    EXPECT_EQ(d[0], 5);
    EXPECT_EQ(d[1], 0x80);
    EXPECT_EQ(d[4], 91);
    EXPECT_EQ(d[95], 0);
    EXPECT_EQ(d[96], 0xEE);
    // No vital product data.
    EXPECT_EQ(sense(run(0, 2, {0x12, 1, 0, 0, 96, 0}, d, 96, SRB_DIR_IN)), "05/24/00");
}

TEST_F(Sim, SenseAreaBoundedByItsLengthAndSize) {
    restart();
    // The block sits in a larger buffer so that bytes after it can be watched.
    struct alignas(8) Guarded {
        SRB_ExecSCSICmd s;
        std::uint8_t after[8];
    } g;
    for (BYTE len : {BYTE{14}, BYTE{4}, BYTE{255}}) {
        std::memset(&g, 0xEE, sizeof g);
        g.s = block(0, 2, {0, 0, 0, 0, 0, 0}, nullptr, 0, 0, event_);
        g.s.SRB_SenseLen = len;
        std::memset(g.s.SenseArea, 0xEE, sizeof g.s.SenseArea);
        ResetEvent(event_);
        ASSERT_EQ(send(&g.s), SS_PENDING);
        ASSERT_EQ(WaitForSingleObject(event_, 5000), WAIT_OBJECT_0);
        std::size_t n = std::min<std::size_t>(len, 16);
        EXPECT_EQ(g.s.SenseArea[0], 0x70);
        if (n < 16) {
            EXPECT_EQ(g.s.SenseArea[n], 0xEE) << int(len);
        }
        for (std::uint8_t b : g.after) EXPECT_EQ(b, 0xEE);
    }
}

TEST_F(Sim, RequestSenseReportsThePreviousCheckCondition) {
    restart();
    std::uint8_t d[18];
    run(0, 2, {0, 0, 0, 0, 0, 0});
    EXPECT_EQ(run(0, 2, {0x03, 0, 0, 0, 18, 0}, d, 18, SRB_DIR_IN).SRB_Status, SS_COMP);
    EXPECT_EQ(d[2], 0x02);
    EXPECT_EQ(d[12], 0x3A);
    // Reported once; then there is nothing to tell.
    run(0, 2, {0x03, 0, 0, 0, 18, 0}, d, 18, SRB_DIR_IN);
    EXPECT_EQ(d[0], 0x70);
    EXPECT_EQ(d[2], 0x00);
    EXPECT_EQ(d[12], 0x00);
}

TEST_F(Sim, UnknownCommandsAndBadFields) {
    restart();
    SRB_ExecSCSICmd s = run(0, 2, {0x01, 0, 0, 0, 0, 0});
    EXPECT_EQ(s.SRB_Status, SS_ERR);
    EXPECT_EQ(s.SRB_TargStat, 0x02);
    EXPECT_EQ(sense(s), "05/20/00");
    // The maker's flash commands belong to the loader mode only, and other
    // makers' drives take no download.
    EXPECT_EQ(sense(run(0, 2, flash_cmd(0xE1, 4, 0xFF000000, 0))), "05/20/00");
    std::uint8_t piece[8192] = {};
    EXPECT_EQ(sense(write_buffer(0, 4, 4, 0, 0, piece, 8192)), "05/20/00");
}

TEST_F(Sim, WriteBufferDownloadReplacesTheRevision) {
    restart();
    EXPECT_EQ(download(0, 2, image(13, "1.10")), SS_COMP);
    EXPECT_EQ(inquiry_id(0, 2), "DRAVLIN CD-R   QV-G567L 1.10");
}

TEST_F(Sim, WriteBufferRefusals) {
    restart();
    Bytes img = image(13, "1.10");
    const std::uint8_t* p = img.data();
    EXPECT_EQ(sense(write_buffer(0, 2, 4, 1, 0, p, 8192)), "05/24/00");        // buffer id
    EXPECT_EQ(sense(write_buffer(0, 2, 2, 0, 0, p, 8192)), "05/24/00");        // mode
    EXPECT_EQ(sense(write_buffer(0, 2, 4, 0, 100, p, 8192)), "05/24/00");      // offset
    EXPECT_EQ(sense(write_buffer(0, 2, 4, 0, 0, p, 4096)), "05/24/00");        // length
    EXPECT_EQ(sense(write_buffer(0, 2, 4, 0, 0x80000, p, 8192)), "05/24/00");  // beyond the flash
    EXPECT_EQ(sense(write_buffer(0, 2, 5, 0, 0x1E000, p, 8192)), "05/24/00");  // not the closing offset

    // The CDB asks for more than the block offers: nothing is read.
    Bytes cdb = {0x3B, 4, 0, 0, 0, 0, 0, 0x20, 0, 0};
    SRB_ExecSCSICmd s = run(0, 2, cdb, img.data(), 4096, SRB_DIR_OUT);
    EXPECT_EQ(s.SRB_Status, SS_ERR);
    EXPECT_EQ(s.SRB_HaStat, HASTAT_DO_DU);

    // A download that lost a piece is not committed.
    for (std::uint32_t o = 0; o < 0x7E000; o += 8192)
        if (o != 0x10000) write_buffer(0, 2, 4, 0, o, p + o, 8192);
    EXPECT_EQ(sense(write_buffer(0, 2, 5, 0, 0x7E000, p + 0x7E000, 8192)), "05/24/00");
    EXPECT_EQ(inquiry_id(0, 2), "DRAVLIN CD-R   QV-G567L 1.00");
    // Nor is what was staged before a device reset.
    for (std::uint32_t o = 0; o < 0x7E000; o += 8192) write_buffer(0, 2, 4, 0, o, p + o, 8192);
    SRB_BusDeviceReset r{};
    r.SRB_Cmd = SC_RESET_DEV;
    r.SRB_Target = 2;
    r.SRB_Flags = SRB_EVENT_NOTIFY;
    r.SRB_PostProc = event_;
    ResetEvent(event_);
    EXPECT_EQ(send(&r), SS_PENDING);
    ASSERT_EQ(WaitForSingleObject(event_, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(r.SRB_Status, SS_COMP);
    EXPECT_EQ(sense(write_buffer(0, 2, 5, 0, 0x7E000, p + 0x7E000, 8192)), "05/24/00");
    EXPECT_EQ(inquiry_id(0, 2), "DRAVLIN CD-R   QV-G567L 1.00");
}

TEST_F(Sim, ResetOfAnEmptyAddress) {
    restart();
    SRB_BusDeviceReset r{};
    r.SRB_Cmd = SC_RESET_DEV;
    r.SRB_Target = 5;
    r.SRB_Flags = SRB_EVENT_NOTIFY;
    r.SRB_PostProc = event_;
    EXPECT_EQ(send(&r), SS_PENDING);
    ASSERT_EQ(WaitForSingleObject(event_, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(r.SRB_Status, SS_ERR);
    EXPECT_EQ(r.SRB_HaStat, HASTAT_SEL_TO);
}

TEST_F(Sim, LoaderModeFlash) {
    bus(loader_bus);
    // The flash holds an image of the model with the configured revision.
    EXPECT_EQ(read_version(0, 3), "1.02");
    EXPECT_EQ(inquiry_id(0, 3), "DRAVLIN *Loader Mode 1* 1.02");

    Bytes img = image(11, "1.10");
    EXPECT_EQ(run(0, 3, flash_cmd(0xE1, 4, 0xFF000000, 0)).SRB_Status, SS_COMP);
    for (std::uint32_t p = 0; p < 8; p++)
        EXPECT_EQ(
            run(0, 3, flash_cmd(0xE2, p < 7, p * 32768, 32768), img.data() + p * 32768, 32768, SRB_DIR_OUT)
                .SRB_Status,
            SS_COMP);
    EXPECT_EQ(read_version(0, 3), "1.10");
    // Reading from 0x100000 reads the flash from its start.
    Bytes all(0x40000);
    EXPECT_EQ(run(0, 3, flash_cmd(0xE3, 0, 0x100000, 0x40000), all.data(), 0x40000, SRB_DIR_IN).SRB_Status,
              SS_COMP);
    EXPECT_EQ(all, img);

    // Programming without an erase only clears bits.
    Bytes ones(32768, 0x0F);
    run(0, 3, flash_cmd(0xE2, 1, 0, 32768), ones.data(), 32768, SRB_DIR_OUT);
    run(0, 3, flash_cmd(0xE3, 0, 0x100000, 16), all.data(), 16, SRB_DIR_IN);
    for (int i = 0; i < 16; i++) EXPECT_EQ(all[i], img[i] & 0x0F);
}

TEST_F(Sim, LoaderModeRefusals) {
    bus(loader_bus);
    std::uint8_t d[32768] = {};
    EXPECT_EQ(sense(run(0, 3, flash_cmd(0xE3, 0, 0x0FFFFF, 16), d, 16, SRB_DIR_IN)), "05/24/00");
    EXPECT_EQ(sense(run(0, 3, flash_cmd(0xE3, 0, 0x13FFF0, 32), d, 32, SRB_DIR_IN)), "05/24/00");
    EXPECT_EQ(sense(run(0, 3, flash_cmd(0xE3, 0, 0xFFFFFFFF, 0xFFFFFFFF), d, 32, SRB_DIR_IN)), "05/24/00");
    EXPECT_EQ(sense(run(0, 3, flash_cmd(0xE2, 1, 0x4000, 32768), d, 32768, SRB_DIR_OUT)), "05/24/00");
    EXPECT_EQ(sense(run(0, 3, flash_cmd(0xE2, 1, 0x40000, 32768), d, 32768, SRB_DIR_OUT)), "05/24/00");
    EXPECT_EQ(sense(run(0, 3, flash_cmd(0xE2, 1, 0, 16384), d, 16384, SRB_DIR_OUT)), "05/24/00");
    SRB_ExecSCSICmd s = run(0, 3, flash_cmd(0xE3, 0, 0x100000, 64), d, 32, SRB_DIR_IN);
    EXPECT_EQ(s.SRB_Status, SS_ERR);
    EXPECT_EQ(s.SRB_HaStat, HASTAT_DO_DU);
    EXPECT_EQ(sense(write_buffer(0, 3, 4, 0, 0, d, 8192)), "05/20/00");
    EXPECT_EQ(read_version(0, 3), "1.02");
}

TEST_F(Sim, CompletionIsAsynchronousAfterTheLatency) {
    bus(std::string(loader_bus) + "latency 60\n");
    SRB_ExecSCSICmd s = block(0, 2, {0, 0, 0, 0, 0, 0}, nullptr, 0, 0, event_);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(send(&s), SS_PENDING);
    EXPECT_EQ(WaitForSingleObject(event_, 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(event_, 5000), WAIT_OBJECT_0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 55ms);
    EXPECT_EQ(s.SRB_Status, SS_ERR);
    // Sending a block that is still running is refused without touching it.
    ResetEvent(event_);
    s = block(0, 2, {0, 0, 0, 0, 0, 0}, nullptr, 0, 0, event_);
    EXPECT_EQ(send(&s), SS_PENDING);
    EXPECT_EQ(send(&s), SS_ASPI_IS_BUSY);
    EXPECT_EQ(WaitForSingleObject(event_, 5000), WAIT_OBJECT_0);
}

TEST_F(Sim, HungCommandUntilAborted) {
    bus(std::string(loader_bus) + "hang 0 2 0x00 2\n");
    EXPECT_EQ(run(0, 2, {0, 0, 0, 0, 0, 0}).SRB_Status, SS_ERR);

    // The block and its event live on the heap and are freed right after
    // the abort: ASan reports any later touch.
    auto* s = new SRB_ExecSCSICmd(block(0, 2, {0, 0, 0, 0, 0, 0}, nullptr, 0, 0, nullptr));
    HANDLE ev = CreateEventA(nullptr, 1, 0, nullptr);
    s->SRB_PostProc = ev;
    EXPECT_EQ(send(s), SS_PENDING);
    EXPECT_EQ(WaitForSingleObject(ev, 50), WAIT_TIMEOUT);
    EXPECT_EQ(s->SRB_Status, SS_PENDING);
    SRB_Abort a{};
    a.SRB_Cmd = SC_ABORT_SRB;
    a.SRB_ToAbort = s;
    EXPECT_EQ(send(&a), SS_COMP);
    EXPECT_EQ(a.SRB_Status, SS_COMP);
    EXPECT_EQ(s->SRB_Status, SS_ABORTED);
    delete s;
    CloseHandle(ev);
    // Aborting it again finds nothing; the bus goes on working.
    EXPECT_EQ(send(&a), SS_ABORT_FAIL);
    EXPECT_EQ(run(0, 2, {0, 0, 0, 0, 0, 0}).SRB_Status, SS_ERR);
}

TEST_F(Sim, AbortCancelsACompletionStillWaitingForTheLatency) {
    bus(std::string(loader_bus) + "latency 40\n");
    auto* s = new SRB_ExecSCSICmd(block(0, 2, {0, 0, 0, 0, 0, 0}, nullptr, 0, 0, nullptr));
    HANDLE ev = CreateEventA(nullptr, 1, 0, nullptr);
    s->SRB_PostProc = ev;
    EXPECT_EQ(send(s), SS_PENDING);
    SRB_Abort a{};
    a.SRB_Cmd = SC_ABORT_SRB;
    a.SRB_ToAbort = s;
    EXPECT_EQ(send(&a), SS_COMP);
    delete s;
    CloseHandle(ev);
    std::this_thread::sleep_for(60ms);  // past the time it would have completed
    EXPECT_EQ(run(0, 2, {0, 0, 0, 0, 0, 0}).SRB_Status, SS_ERR);
}

TEST_F(Sim, InjectedFailures) {
    bus(std::string(loader_bus) +
        "fail 0 2 0x12 2 status=0x04 targstat=0x02 sense=70 00 05 00 00 00 00 0A 00 00 00 00 24 00\n"
        "fail 0 2 0x00 1\n"
        "fail 0 3 0x12 1 status=0xE5 targstat=0 sense=7000\n");
    std::uint8_t d[96];
    EXPECT_EQ(run(0, 2, {0x12, 0, 0, 0, 96, 0}, d, 96, SRB_DIR_IN).SRB_Status, SS_COMP);
    std::memset(d, 0xEE, sizeof d);
    SRB_ExecSCSICmd s = run(0, 2, {0x12, 0, 0, 0, 96, 0}, d, 96, SRB_DIR_IN);
    EXPECT_EQ(s.SRB_Status, SS_ERR);
    EXPECT_EQ(s.SRB_TargStat, 0x02);
    EXPECT_EQ(sense(s), "05/24/00");
    EXPECT_EQ(d[0], 0xEE);  // the failed command moved no data
    EXPECT_EQ(run(0, 2, {0x12, 0, 0, 0, 96, 0}, d, 96, SRB_DIR_IN).SRB_Status, SS_COMP);

    // The default failure is a hardware error; REQUEST SENSE repeats it.
    s = run(0, 2, {0, 0, 0, 0, 0, 0});
    EXPECT_EQ(s.SRB_Status, SS_ERR);
    EXPECT_EQ(sense(s), "04/44/00");
    EXPECT_EQ(s.SenseArea[7], 0x0A);
    run(0, 2, {0x03, 0, 0, 0, 18, 0}, d, 18, SRB_DIR_IN);
    EXPECT_EQ(d[2], 0x04);
    EXPECT_EQ(d[12], 0x44);
    EXPECT_EQ(sense(run(0, 2, {0, 0, 0, 0, 0, 0})), "02/3A/00");  // the second runs normally

    s = run(0, 3, {0x12, 0, 0, 0, 96, 0}, d, 96, SRB_DIR_IN);
    EXPECT_EQ(s.SRB_Status, 0xE5);
    EXPECT_EQ(s.SRB_TargStat, 0);
    EXPECT_EQ(s.SenseArea[0], 0x70);
    EXPECT_EQ(s.SenseArea[1], 0x00);
}

// Each request block as it came, and the outcome of each command and reset:
// what it moved, what the adapter, the target and the sense data said.
TEST_F(Sim, CommandLog) {
    std::string log = dir_ + "/log";
    env_.set("ASPISIM_LOG", log);
    bus(std::string(loader_bus) + "hang 0 3 0x00 1\n");
    SRB_HAInquiry h{};
    h.SRB_Cmd = SC_HA_INQUIRY;
    send(&h);
    std::uint8_t d[96];
    run(0, 2, {0x12, 0, 0, 0, 96, 0}, d, 96, SRB_DIR_IN);
    std::uint8_t piece[8192];
    for (std::size_t i = 0; i < sizeof piece; i++) piece[i] = static_cast<std::uint8_t>(i * 7);
    write_buffer(0, 2, 4, 0, 0x1E000, piece, 8192);
    SRB_ExecSCSICmd none = run(0, 2, {0, 0, 0, 0, 0, 0});  // no disc: CHECK CONDITION
    SRB_Abort a{};
    a.SRB_Cmd = SC_ABORT_SRB;
    a.SRB_ToAbort = &none;  // finished: nothing to abort
    send(&a);
    SRB_ExecSCSICmd hung = block(0, 3, {0, 0, 0, 0, 0, 0}, nullptr, 0, 0, event_);
    send(&hung);
    a.SRB_ToAbort = &hung;
    send(&a);
    run(1, 2, {0, 0, 0, 0, 0, 0});  // no such adapter
    SRB_BusDeviceReset r{};
    r.SRB_Cmd = SC_RESET_DEV;
    r.SRB_Flags = SRB_EVENT_NOTIFY;
    r.SRB_Target = 2;
    r.SRB_Lun = 1;
    r.SRB_PostProc = event_;
    ResetEvent(event_);
    send(&r);
    WaitForSingleObject(event_, 5000);

    char want_crc[9];
    std::snprintf(want_crc, sizeof want_crc, "%08X", aspihost::crc32(piece, sizeof piece));
    EXPECT_EQ(qvtest::UntimedLog(qvtest::ReadFile(log)),
              "hainquiry 0\n"
              "exec 0 2 0 flags=0x48 len=96 cdb=120000006000\n"
              "done 0 2 0 op=12 status=0x01 hastat=0x00 targstat=0x00 moved=96 seconds=T\n"
              "exec 0 2 0 flags=0x50 len=8192 cdb=3B040001E00000200000 crc32=" +
                  std::string(want_crc) +
                  "\n"
                  "done 0 2 0 op=3B status=0x01 hastat=0x00 targstat=0x00 moved=8192 seconds=T\n"
                  "exec 0 2 0 flags=0x40 len=0 cdb=000000000000\n"
                  "done 0 2 0 op=00 status=0x04 hastat=0x00 targstat=0x02 sense=02/3A/00 moved=0 seconds=T\n"
                  "abort 0\n"
                  "exec 0 3 0 flags=0x40 len=0 cdb=000000000000\n"
                  "abort 0\n"
                  "done 0 3 0 op=00 status=0x02 hastat=0x00 targstat=0x00 moved=0 seconds=T\n"
                  "exec 1 2 0 flags=0x40 len=0 cdb=000000000000\n"
                  "done 1 2 0 op=00 status=0x81 hastat=0x00 targstat=0x00 moved=0 seconds=T\n"
                  "reset 0 2 1\n"
                  "done 0 2 1 op=reset status=0x04 hastat=0x11 targstat=0x00 moved=0 seconds=T\n");
}

// ASPILogTo: the log goes to the file a program chooses, before the layer
// starts (its variable is then never read) or after; a file that cannot be
// opened is said and answered 0, and the log stays where it was.
TEST_F(Sim, LogToTheFileAProgramChooses) {
    auto log_to = reinterpret_cast<int (*)(const char*)>(dlsym(api().lib, "ASPILogTo"));
    ASSERT_NE(log_to, nullptr);
    const std::string first = dir_ + "/first", second = dir_ + "/second", missing = dir_ + "/no/log";
    env_.set("ASPISIM_LOG", missing);  // would stop the layer, were it read
    api().reload();
    EXPECT_EQ(log_to(first.c_str()), 1);
    testing::internal::CaptureStderr();  // the layer starts and says so
    run(0, 2, {0, 0, 0, 0, 0, 0});
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(log_to(second.c_str()), 1);
    run(0, 4, {0, 0, 0, 0, 0, 0});
    testing::internal::CaptureStderr();
    EXPECT_EQ(log_to(missing.c_str()), 0);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "aspisim: cannot open the command log " + missing + ": No such file or directory\n");
    EXPECT_EQ(log_to(""), 0);
    run(1, 0, {0, 0, 0, 0, 0, 0});
    const std::string a = qvtest::ReadFile(first), b = qvtest::ReadFile(second);
    EXPECT_TRUE(a.rfind("exec 0 2 0 ", 0) == 0 && a.find("exec", 1) == std::string::npos) << a;
    EXPECT_TRUE(b.rfind("exec 0 4 0 ", 0) == 0 && b.find("\nexec 1 0 0 ") != std::string::npos) << b;
}

// The factor the transport puts on its waits comes from this layer alone,
// from its own variable.
TEST(SimTimeScale, FromTheLayersOwnVariable) {
    auto scale = reinterpret_cast<double (*)()>(dlsym(api().lib, "aspisim_time_scale"));
    ASSERT_NE(scale, nullptr);
    simtest::SimEnvironment env;
    EXPECT_EQ(scale(), 1.0);
    const std::pair<const char*, double> rows[] = {
        {"0.001", 0.001}, {"2.5", 2.5}, {"3", 3.0},   {"", 1.0},    {"x", 1.0},     {"0.5x", 1.0},
        {"0", 1.0},       {"-1", 1.0},  {"inf", 1.0}, {"nan", 1.0}, {"1e999", 1.0}, {" ", 1.0},
    };
    for (const auto& [text, factor] : rows) {
        env.set("ASPISIM_TIME_SCALE", text);
        EXPECT_EQ(scale(), factor) << "'" << text << "'";
    }
}

// Two processes' claims on one drive (flock holds between two opens in one
// process as between two processes): after the lock file is removed,
// recreated or replaced, whichever claims first has the drive and the other
// is refused, whether or not the holder claimed again in between.
TEST(SimLock, ARemovedLockFileNeverLetsTwoHoldTheDrive) {
    const aspisim::DeviceConf conf = aspisim::default_bus().devices[0];
    struct Row {
        const char* what;
        std::function<void(const std::string& lock)> act;
    } rows[] = {
        {"removed", [](const std::string& lock) { fs::remove(lock); }},
        {"removed and recreated",
         [](const std::string& lock) {
             fs::remove(lock);
             std::ofstream{lock};
         }},
        {"replaced",
         [](const std::string& lock) {
             std::ofstream{lock + ".new"};
             fs::rename(lock + ".new", lock);
         }},
    };
    for (const Row& r : rows)
        for (bool holder_first : {true, false}) {
            SCOPED_TRACE(std::string(r.what) + (holder_first ? ", holder first" : ", newcomer first"));
            qvtest::TempDir dir("aspisim-lock");
            std::vector<std::string> said;
            auto report = [&said](const std::string& line) { said.push_back(line); };
            aspisim::StateFolder holder(report), newcomer(report);
            aspisim::Device a(conf), b(conf);
            ASSERT_TRUE(holder.open(dir.path(), 1));
            ASSERT_TRUE(newcomer.open(dir.path(), 1));
            ASSERT_EQ(holder.claim(0, a), aspisim::StateFolder::Claim::mine);
            r.act(dir.Path("ha" + std::to_string(conf.ha) + "-t" + std::to_string(conf.target) + ".lock"));
            using Claim = aspisim::StateFolder::Claim;
            if (holder_first) {
                EXPECT_EQ(holder.claim(0, a), Claim::mine);
                EXPECT_EQ(newcomer.claim(0, b), Claim::in_use);
            } else {
                EXPECT_EQ(newcomer.claim(0, b), Claim::mine);
                EXPECT_EQ(holder.claim(0, a), Claim::in_use);
            }
            EXPECT_EQ(said.size(), 1u);
        }
}

// The first drive of a description, its commands planned and carried out
// as both layers do, at the seconds a test gives. An outcome reads "GOOD"
// (with the INQUIRY's texts), the sense, or "SEL_TO".
struct Model {
    explicit Model(const std::string& text, double scale = 1)
        : bus(aspisim::parse_bus(text, "m").config), device(bus.devices.at(0), scale) {}
    std::string run(Bytes cdb, double at, std::uint8_t* data = nullptr, std::uint32_t len = 0) {
        const auto now = t0 + std::chrono::nanoseconds(static_cast<long long>(at * 1e9));
        std::uint8_t c[16] = {};
        std::copy(cdb.begin(), cdb.end(), c);
        aspisim::Outcome o = aspisim::carry_out(device, aspisim::next_fault(bus, device, c[0], now), c, data,
                                                len, now, [this](aspisim::Outcome&) { kept++; });
        o.sense.resize(18);
        char b[16];
        std::snprintf(b, sizeof b, "%02X/%02X/%02X", o.sense[2], o.sense[12], o.sense[13]);
        return o.hastat ? "SEL_TO" : o.targstat ? b : c[0] == 0x12 ? "GOOD " + text(data + 8, 28) : "GOOD";
    }
    std::string inquiry(double at) { return run({0x12, 0, 0, 0, 96, 0}, at, reply, 96); }
    std::string tur(double at) { return run({0, 0, 0, 0, 0, 0}, at); }
    // The WRITE BUFFER download, or the loader mode's erase and writes, of
    // an image of the drive's type with this version; the last piece's outcome.
    std::string load(const char* version, double at) {
        const bool rom = device.conf().flash == aspisim::Flash::rom;
        img.clear();
        EXPECT_EQ(fwimage::build(rom ? 11 : type, version, {}, img), "");
        if (rom) run({0xE1, 4, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0, 0}, at);
        std::string last;
        for (std::uint32_t o = 0, piece = rom ? 32768 : 8192; o < img.size(); o += piece) {
            Bytes d(img.begin() + o, img.begin() + o + piece);
            const auto more = std::uint8_t(o + piece < img.size()), o2 = std::uint8_t(o >> 16),
                       o1 = std::uint8_t(o >> 8);
            last = run(rom ? Bytes{0xE2, more, 0, o2, o1, 0, 0, 0, 0x80, 0, 0, 0}
                           : Bytes{0x3B, std::uint8_t(5 - more), 0, o2, o1, 0, 0, 0x20, 0, 0},
                       at, d.data(), piece);
            EXPECT_TRUE(std::equal(d.begin(), d.end(), img.begin() + o));  // the caller's bytes stay
        }
        return last;
    }
    aspisim::BusConfig bus;
    aspisim::Device device;
    std::chrono::steady_clock::time_point t0 = std::chrono::steady_clock::now();
    int type = 13;
    Bytes img;  // the last one loaded
    std::uint8_t reply[96] = {};
    int kept = 0;  // changes handed on to be kept
};

const char g567l[] = "device 0 2 vendor=\"DRAVLIN \" product=\"CD-R   QV-G567L \" revision=\"1.00\"\n";

// The restart after a commit, on the layer's time scale (0.5 here), and the
// move after it; the commands it answers are not counted.
TEST(Model, RestartAfterACommit) {
    const std::tuple<const char*, const char*, const char*> rows[] = {
        {"", "SEL_TO", "SEL_TO"},
        {"answer=old", "GOOD DRAVLIN CD-R   QV-G567L 1.00", "02/04/01"},
        {"answer=notready", "02/04/01", "02/04/01"},
    };
    for (const auto& [answer, inquiry, tur] : rows) {
        SCOPED_TRACE(answer);
        Model m(std::string(g567l) + "restart 0 2 4 " + answer +
                    "\nmoveto 0 2 0 5\nfail 0 2 0 1 sense=7000050000000000000000002000\n",
                0.5);
        EXPECT_EQ(m.load("1.10", 0), "GOOD");
        EXPECT_EQ(m.inquiry(1.9), inquiry);
        EXPECT_EQ(m.tur(1.9), tur);
        EXPECT_EQ(m.device.address(), (aspisim::Address{0, 2}));
        EXPECT_EQ(m.inquiry(2), "GOOD DRAVLIN CD-R   QV-G567L 1.10");
        EXPECT_EQ(m.device.address(), (aspisim::Address{0, 5}));
        EXPECT_EQ(m.tur(2), "05/20/00");  // the first TEST UNIT READY counted: its fault
        EXPECT_EQ(m.tur(2), "06/29/00");
        EXPECT_EQ(m.tur(2), "02/3A/00");
    }
    Model m(std::string(g567l) + "moveto 0 2 0 5\n");  // no restart: moved at once
    EXPECT_EQ(m.load("1.10", 0), "GOOD");
    EXPECT_EQ(m.device.address(), (aspisim::Address{0, 5}));
}

// ignore and corrupt of pieces and of an answer; the loader mode commits
// with its last flash write.
TEST(Model, IgnoredAndCorruptedCommands) {
    // Bus, last piece, the INQUIRY after it, where the flash differs (-1 nowhere, -2 not committed)
    const std::tuple<const char*, const char*, const char*, long> rows[] = {
        {"ignore 0 2 0x3B 64", "GOOD", "1.00", -2},
        {"ignore 0 2 0x3B 3", "05/24/00", "1.00", -2},
        {"corrupt 0 2 0x3B 64 100", "GOOD", "1.10", 0x7E000 + 100},
        {"corrupt 0 2 0x3B 64 8192", "GOOD", "1.10", -1},
        {"corrupt 0 3 0xE2 2 5\nrestart 0 3 1", "GOOD", "SEL_TO", 0x8005},
        {"ignore 0 3 0xE2 8", "GOOD", "1.02", -2},
    };
    for (const auto& [bus, last, then, changed] : rows) {
        SCOPED_TRACE(bus);
        Model m(std::string(std::strstr(bus, " 0 3 ") ? loader_bus : g567l) + bus + "\n");
        EXPECT_EQ(m.load("1.10", 0), last);
        if (changed >= 0) m.img[changed] ^= 0x01;
        EXPECT_TRUE(changed == -2 || m.device.flash() == m.img);
        EXPECT_TRUE(m.inquiry(0.5).ends_with(then)) << m.inquiry(0.5);
    }
    Model m(std::string(g567l) + "corrupt 0 2 0x12 1 8\ncorrupt 0 2 0x12 2 96\nignore 0 2 0x12 3\n");
    EXPECT_EQ(m.inquiry(0), "GOOD ERAVLIN CD-R   QV-G567L 1.00");
    EXPECT_EQ(m.inquiry(0), "GOOD DRAVLIN CD-R   QV-G567L 1.00");
    std::fill(std::begin(m.reply), std::end(m.reply), 0x41);
    EXPECT_EQ(m.inquiry(0), "GOOD " + std::string(28, 'A'));
}

// A drive swapped in answers as its product and takes what that takes,
// but nothing it does is the declared drive's to keep.
TEST(Model, SwappedDrive) {
    Model m(std::string(g567l) + "swap 0 2 2 product=\"CD-ROM QV-B8NB  \" revision=\"1.05\"\n");
    m.type = 12;
    EXPECT_EQ(m.inquiry(0), "GOOD DRAVLIN CD-R   QV-G567L 1.00");
    EXPECT_EQ(m.inquiry(0), "GOOD DRAVLIN CD-ROM QV-B8NB  1.05");
    EXPECT_EQ(m.load("1.20", 0), "GOOD");
    EXPECT_EQ(m.inquiry(0), "GOOD DRAVLIN CD-ROM QV-B8NB  1.20");
    EXPECT_EQ(m.kept, 0);
    Model other(std::string(g567l) + "swap 0 2 1 vendor=\"MERIDIAN\"\n");
    EXPECT_EQ(other.load("1.10", 0), "05/20/00");
    EXPECT_EQ(other.inquiry(0), "GOOD MERIDIANCD-R   QV-G567L 1.00");
}

TEST(Crc32, KnownValues) {
    const char* s = "123456789";
    EXPECT_EQ(aspihost::crc32(reinterpret_cast<const std::uint8_t*>(s), 9), 0xCBF43926u);
    EXPECT_EQ(aspihost::crc32(nullptr, 0), 0u);
}

TEST_F(Sim, StateFolderKeepsAnUpgradeAcrossRuns) {
    env_.set("ASPISIM_STATE", dir_ + "/state");
    bus(loader_bus);
    EXPECT_EQ(download(0, 2, image(13, "1.10")), SS_COMP);
    Bytes img = image(11, "1.12");
    run(0, 3, flash_cmd(0xE1, 4, 0xFF000000, 0));
    for (std::uint32_t p = 0; p < 8; p++)
        run(0, 3, flash_cmd(0xE2, p < 7, p * 32768, 32768), img.data() + p * 32768, 32768, SRB_DIR_OUT);
    EXPECT_TRUE(fs::exists(dir_ + "/state/ha0-t2.state"));
    EXPECT_TRUE(fs::exists(dir_ + "/state/ha0-t3.state"));

    EXPECT_EQ(restart(), described(dir_ + "/bus"));  // the next run
    EXPECT_EQ(inquiry_id(0, 2), "DRAVLIN CD-R   QV-G567L 1.10");
    EXPECT_EQ(read_version(0, 3), "1.12");

    // A state that does not belong to the device is refused, never guessed at.
    std::ofstream(dir_ + "/state/ha0-t2.state") << "something else";
    std::string err = restart();
    EXPECT_NE(err.find(dir_ + "/state/ha0-t2.state: not a saved state of this device"), std::string::npos)
        << err;
    EXPECT_EQ(api().support(), DWORD{SS_FAILED_INIT} << 8);

    env_.set("ASPISIM_STATE", dir_ + "/bus");  // a file, not a folder
    EXPECT_EQ(restart(), described(dir_ + "/bus") + "aspisim: cannot make the state folder " + dir_ +
                             "/bus: Not a directory\n");
    EXPECT_EQ(api().support(), DWORD{SS_FAILED_INIT} << 8);
}

// The restart on the layer's time scale and the move after it; the state
// stays under the declared address.
TEST_F(Sim, RestartAndMoveThroughTheLayer) {
    env_.set("ASPISIM_STATE", dir_ + "/state");
    env_.set("ASPISIM_TIME_SCALE", "0.01");
    bus(std::string(loader_bus) + "restart 0 2 20\nmoveto 0 2 0 5\n");
    EXPECT_EQ(download(0, 2, image(13, "1.10")), SS_COMP);
    EXPECT_EQ(run(0, 2, {0x12, 0, 0, 0, 0, 0}).SRB_HaStat, HASTAT_SEL_TO);
    EXPECT_EQ(run(0, 5, {0x12, 0, 0, 0, 0, 0}).SRB_HaStat, HASTAT_SEL_TO);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(run(0, 2, {0, 0, 0, 0, 0, 0}).SRB_HaStat, HASTAT_SEL_TO);
    EXPECT_EQ(sense(run(0, 5, {0, 0, 0, 0, 0, 0})), "06/29/00");
    EXPECT_EQ(inquiry_id(0, 5), "DRAVLIN CD-R   QV-G567L 1.10");
    restart();  // the next run
    EXPECT_EQ(inquiry_id(0, 2), "DRAVLIN CD-R   QV-G567L 1.10");
}

TEST_F(Sim, DriveOfAnotherProcessAnswersBusy) {
    env_.set("ASPISIM_STATE", dir_ + "/state");
    bus(loader_bus);
    // The other process's lock: a descriptor of its own on the drive's lock.
    int other = open((dir_ + "/state/ha0-t2.lock").c_str(), O_RDWR | O_CREAT, 0644);
    ASSERT_EQ(flock(other, LOCK_EX), 0);
    testing::internal::CaptureStderr();
    for (int i = 0; i < 2; i++) {
        Bytes d(96, 0xAA);
        SRB_ExecSCSICmd s = run(0, 2, {0x12, 0, 0, 0, 96, 0}, d.data(), 96, SRB_DIR_IN);
        EXPECT_EQ(s.SRB_Status, SS_ERR);
        EXPECT_EQ(s.SRB_HaStat, HASTAT_OK);
        EXPECT_EQ(s.SRB_TargStat, 0x08);
        EXPECT_EQ(d, Bytes(96, 0xAA));  // nothing moved
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "aspisim: drive 0:2 is in use by another process\n");
    close(other);
    EXPECT_EQ(inquiry_id(0, 2), "DRAVLIN CD-R   QV-G567L 1.00");
}

TEST_F(Sim, SaveNeverWritesThroughALinkAtItsTemporaryName) {
    // A link at every temporary name this process may pick: the save gives
    // up rather than write through one.
    const std::string path = dir_ + "/ha0-t2.state", victim = dir_ + "/victim";
    std::ofstream(victim) << "keep";
    for (int n = 0; n < 200; n++)
        ASSERT_EQ(symlink(victim.c_str(),
                          (path + "." + std::to_string(getpid()) + "-" + std::to_string(n) + ".tmp").c_str()),
                  0);
    EXPECT_NE(aspisim::save_state_file(path, {1, 2, 3}), "");
    EXPECT_EQ(qvtest::ReadFile(victim), "keep");
    EXPECT_FALSE(fs::exists(path));
}

TEST_F(Sim, RefusedBusDescription) {
    std::string err;
    bus("adapters 2\n\ndevice 0 7 type=5\nlatency fast\n");
    err = restart();
    std::string file = dir_ + "/bus";
    EXPECT_EQ(err, described(file) + "aspisim: " + file +
                       ":3: device: target 7 is the host adapter's own SCSI id\n" + "aspisim: " + file +
                       ":4: latency: expected one number from 0 to 600000\n");
    EXPECT_EQ(api().support(), 0xE400u);
    SRB_HAInquiry h{};
    h.SRB_Cmd = SC_HA_INQUIRY;
    EXPECT_EQ(send(&h), SS_FAILED_INIT);

    env_.set("ASPISIM_BUS", dir_ + "/missing");
    err = restart();
    EXPECT_EQ(err, described(dir_ + "/missing") + "aspisim: cannot read the bus description " + dir_ +
                       "/missing: No such file or directory\n");
    EXPECT_EQ(api().support(), 0xE400u);
    env_.set("ASPISIM_BUS", dir_);  // a folder is no description either
    err = restart();
    EXPECT_EQ(err,
              described(dir_) + "aspisim: cannot read the bus description " + dir_ + ": Is a directory\n");
    EXPECT_EQ(api().support(), 0xE400u);
}

TEST_F(Sim, ConfiguredSupportStatusAndAdapters) {
    bus("adapters 0\nsupport 0xE8\n");
    EXPECT_EQ(api().support(), 0xE800u);
    bus("adapters 5\n");
    EXPECT_EQ(api().support(), 0x0105u);
}

TEST_F(Sim, ForkedChildRunsCommands) {
    restart();
    EXPECT_EQ(inquiry_id(0, 2), "DRAVLIN CD-R   QV-G567L 1.00");
    GTEST_FLAG_SET(death_test_style, "fast");  // a plain fork of this process
    EXPECT_EXIT(
        {
            HANDLE ev = CreateEventA(nullptr, 1, 0, nullptr);
            SRB_ExecSCSICmd s = block(0, 2, {0, 0, 0, 0, 0, 0}, nullptr, 0, 0, ev);
            bool ok = api().send(&s) == SS_PENDING && WaitForSingleObject(ev, 5000) == WAIT_OBJECT_0 &&
                      s.SRB_Status == SS_ERR;
            std::_Exit(ok ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

class Recording : public Sim {
protected:
    static const Bytes& piece() {
        static const Bytes p = [] {
            Bytes b(8192);
            for (std::size_t i = 0; i < b.size(); i++) b[i] = static_cast<std::uint8_t>(i * 7);
            return b;
        }();
        return p;
    }
    std::vector<std::string> RunOfEveryKind();

    bool UnderASizeLimit(const std::string& log, const std::string& rec) {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit small{1000, RLIM_INFINITY};
        bool ok = api().log_to(log.c_str()) == 1 && api().record_to(rec.c_str(), "t") == 1 &&
                  setrlimit(RLIMIT_FSIZE, &small) == 0;
        qvtest::StderrCapture err;
        for (int i = 0; i < 20; i++) ok = ok && sense(run(0, 2, {0, 0, 0, 0, 0, 0})) == "02/3A/00";
        const std::string said = err.text(), kept = qvtest::ReadFile(rec);
        if (said != "aspisim: cannot write the recording " + rec +
                        ": File too large; it is not kept from here on\n" +
                        "aspisim: cannot write the command log " + log +
                        ": File too large; it is not kept from here on\n")
            std::fprintf(stderr, "said: %s", said.c_str()), ok = false;
        return ok && kept.size() <= 1000 && aspihost::read_transcript(kept).why.empty();
    }
};

// Every kind of request block, and what each got back: a run and its
// replay must see the same.
std::vector<std::string> Recording::RunOfEveryKind() {
    std::vector<std::string> got;
    auto answer = [&got](const SRB_ExecSCSICmd& s, const std::uint8_t* d, std::size_t n) {
        got.push_back(text(&s.SRB_Status, 3) + text(s.SenseArea, sizeof s.SenseArea) + text(d, n));
    };
    SRB_HAInquiry h{};
    h.SRB_Cmd = SC_HA_INQUIRY;
    send(&h);
    got.push_back(text(&h, sizeof h));
    std::uint8_t d[96];
    std::memset(d, 0xEE, sizeof d);
    answer(run(0, 2, {0x12, 0, 0, 0, 96, 0}, d, 64, SRB_DIR_IN), d, sizeof d);
    answer(write_buffer(0, 2, 4, 0, 0x1E000, piece().data(), 8192), nullptr, 0);
    answer(run(0, 2, {0, 0, 0, 0, 0, 0}), nullptr, 0);  // no disc: CHECK CONDITION
    SRB_GDEVBlock g{};
    g.SRB_Cmd = SC_GET_DEV_TYPE;
    g.SRB_Target = 3;
    send(&g);
    got.push_back(text(&g, sizeof g));
    SRB_ExecSCSICmd hung = block(0, 3, {0, 0, 0, 0, 0, 0}, nullptr, 0, 0, event_);
    send(&hung);
    SRB_Abort a{};
    a.SRB_Cmd = SC_ABORT_SRB;
    a.SRB_ToAbort = &hung;
    send(&a);
    got.push_back(text(&a.SRB_Status, 1) + text(&hung.SRB_Status, 1));
    answer(run(1, 2, {0, 0, 0, 0, 0, 0}), nullptr, 0);  // no such adapter
    SRB_BusDeviceReset r{};
    r.SRB_Cmd = SC_RESET_DEV;
    r.SRB_Flags = SRB_EVENT_NOTIFY;
    r.SRB_Target = 2;
    r.SRB_PostProc = event_;
    ResetEvent(event_);
    if (send(&r) == SS_PENDING) WaitForSingleObject(event_, 5000);
    got.push_back(text(&r.SRB_Status, 3));
    return got;
}

TEST_F(Recording, ReplaysTheSameAnswers) {
    const std::string rec = dir_ + "/rec", other = dir_ + "/other";
    bus(std::string(loader_bus) + "hang 0 3 0x00 1\n");
    ASSERT_EQ(api().record_to(rec.c_str(), "test \"1.0\""), 1);
    const std::vector<std::string> recorded = RunOfEveryKind();
    const std::string transcript = qvtest::ReadFile(rec);
    char crc[9];
    std::snprintf(crc, sizeof crc, "%08X", qvtest::crc32(piece().data(), 8192));
    EXPECT_EQ(
        std::regex_replace(qvtest::UntimedLog(transcript), std::regex("date [-0-9T:]+Z"), "date D"),
        "transcript 1\n"
        "program \"test \\\"1.0\\\"\"\n"
        "layer aspisim 1.21\n"
        "date D\n"
        "support status=0x01 adapters=1\n"
        "adapter 0 count=1 id=7 identifier=\"ASPISIM         \" unique=00000210000001000000000000000000\n"
        "1 hainquiry 0\n1 done status=0x01\n"
        "2 exec 0 2 0 dir=in len=64 cdb=120000006000\n"
        "2 done status=0x01 hastat=0x00 targstat=0x00 resid=0 seconds=T\n"
        "2 data 0000 058002025B000000445241564C494E2043442D5220202051562D473536374C20\n"
        "2 data 0020 312E303000000000000000000000000000000000000000000000000000000000\n"
        "3 exec 0 2 0 dir=out len=8192 cdb=3B040001E00000200000 crc32=" +
            std::string(crc) +
            "\n"
            "3 done status=0x01 hastat=0x00 targstat=0x00 resid=0 seconds=T\n"
            "4 exec 0 2 0 dir=none len=0 cdb=000000000000\n"
            "4 done status=0x04 hastat=0x00 targstat=0x02 sense=700002000000000A000000003A0000000000 "
            "seconds=T\n"
            "5 devtype 0 3 0\n5 done status=0x01 type=5\n"
            "6 exec 0 3 0 dir=none len=0 cdb=000000000000\n"
            "7 abort 0 of=6\n7 done status=0x01\n"
            "6 done status=0x02 hastat=0x00 targstat=0x00 seconds=T\n"
            "8 exec 1 2 0 dir=none len=0 cdb=000000000000\n"
            "8 done status=0x81 hastat=0x00 targstat=0x00 seconds=T\n"
            "9 reset 0 2 0\n9 done status=0x01 hastat=0x00 seconds=T\n");
    testing::internal::CaptureStderr();
    EXPECT_EQ(api().record_to(rec.c_str(), "test"), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "aspisim: cannot create the recording " + rec + ": already exists\n");

    env_.set("ASPISIM_REPLAY", rec);
    EXPECT_EQ(restart(), "aspisim: replaying the recording " + rec + "\n");
    EXPECT_EQ(RunOfEveryKind(), recorded);
    testing::internal::CaptureStderr();
    EXPECT_EQ(run(0, 2, {0, 0, 0, 0, 0, 0}).SRB_Status, SS_ERR);  // past the end
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "aspisim: replay: command 10 differs: the program sent exec 0 2 0 dir=none len=0 "
              "cdb=000000000000, the recording has nothing more\n");

    // A command takes its recorded time times the factor.
    std::ofstream(other) << std::regex_replace(transcript, std::regex("2 done (.*) seconds=[.0-9]+"),
                                               "2 done $1 seconds=4.000000");
    env_.set("ASPISIM_REPLAY", other);
    env_.set("ASPISIM_TIME_SCALE", "0.025");
    restart();
    const auto start = std::chrono::steady_clock::now();
    RunOfEveryKind();
    EXPECT_GE(std::chrono::steady_clock::now() - start, 100ms);
    env_.unset("ASPISIM_TIME_SCALE");

    // One byte of a CDB changed: that command fails, and every later one.
    std::ofstream(other) << std::regex_replace(transcript, std::regex("cdb=120000006000"),
                                               "cdb=120000006100");
    env_.set("ASPISIM_REPLAY", other);
    restart();
    testing::internal::CaptureStderr();
    std::uint8_t d[64];
    EXPECT_EQ(run(0, 2, {0x12, 0, 0, 0, 96, 0}, d, 64, SRB_DIR_IN).SRB_Status, SS_ERR);
    EXPECT_EQ(write_buffer(0, 2, 4, 0, 0x1E000, piece().data(), 8192).SRB_Status, SS_ERR);
    EXPECT_EQ(
        testing::internal::GetCapturedStderr(),
        "aspisim: replay: command 2 differs: the program sent exec 0 2 0 dir=in len=64 cdb=120000006000, "
        "the recording has exec 0 2 0 dir=in len=64 cdb=120000006100\n");

    // A transcript that cannot be read stops the layer at its start.
    std::ofstream(other) << "transcript 1\nprogram x\n";
    EXPECT_EQ(restart(), "aspisim: replaying the recording " + other + "\naspisim: " + other +
                             ":2: program: a text in quotes expected\n");
    EXPECT_EQ(api().support(), 0xE400u);
}

// Each row a change to a valid transcript: the line it replaces (0: the
// text is appended), and where and why the reader refuses it.
TEST(TranscriptReader, Refusals) {
    const std::string valid =
        "transcript 1\nprogram \"t 1\"\nlayer aspisim 1.21\ndate 2025-01-31T09:15:02Z\n"
        "support status=0x01 adapters=1\n"
        "adapter 0 count=1 id=7 identifier=\"ASPISIM         \" unique=00000010000100000000000000000000\n"
        "1 exec 0 2 0 dir=in len=4 cdb=120000000400\n"
        "1 done status=0x01 hastat=0x00 targstat=0x00 seconds=0.000010\n"
        "1 data 0000 05800000\n";
    ASSERT_EQ(aspihost::read_transcript(valid).why, "");
    const struct {
        std::size_t line;
        std::string text, why;
    } rows[] = {
        {1, "transcript 2", "1: a transcript of version 2; this layer reads version 1"},
        {1, "hello", "1: not a transcript (it begins \"transcript 1\")"},
        {6, "adapter 0 count=1 id=7 identifier=\"ASPISIM\" unique=00",
         "6: \"adapter 0 count=N id=N identifier=\"16 characters\" unique=HEX\" expected"},
        {6, "adapter 0 identifier=\"ASPI", "6: a text in quotes is not closed"},
        {7, "2 exec 0 2 0 dir=in len=4 cdb=12", "7: a request numbered 1 expected"},
        {7, "1 exec 0 2 0 dir=up len=4 cdb=12", "7: exec: dir=none, in, out or both expected"},
        {7, "1 exec 0 2 0 dir=in len=16777217 cdb=12", "7: exec: len=N expected, at most 16777216"},
        {7, "1 exec 0 2 0 dir=in len=4 cdb=" + std::string(34, '0'),
         "7: exec: cdb= of 1 to 16 bytes in hex expected"},
        {7, "1 exec 0 256 0 dir=in len=4 cdb=12", "7: exec: HA TARGET LUN expected"},
        {7, "1 exec 0 2 0 dir=in len=4 cdb=12 crc32=00000000",
         "7: exec: crc32= of 8 hex digits expected, for data sent only"},
        {7, "1 park 0 2 0", "7: unknown request \"park\""},
        {8, "1 done status=0x01 type=5", "8: unknown field \"type\""},
        {8, "1 done status=0x01 seconds=1.5", "8: done: seconds=S.UUUUUU expected"},
        {9, "1 data 0004 05", "9: data: offset 0000 expected"},
        {9, "1 data 0000 0580000000", "9: data: more than the request's length"},
        {0, "1 done status=0x01", "10: request 1 has an outcome already"},
        {0, "3 done status=0x01", "10: no request 3 before this line"},
        {0, "2 abort 0 of=2", "10: abort: of= the number of an earlier exec, or none, expected"},
        {0, "2 devtype 0 2 0\n3 reset 0 2 0", "11: request 2 has no outcome"},
        {0, "2 reset 0 2 0\n1 data 0004 00", "11: data of request 1 belong after its outcome"},
    };
    for (const auto& r : rows) {
        std::string text = valid;
        if (r.line == 0) {
            text += r.text + "\n";
        } else {
            std::size_t at = 0;
            for (std::size_t i = 1; i < r.line; i++) at = text.find('\n', at) + 1;
            text.replace(at, text.find('\n', at) - at, r.text);
        }
        const aspihost::ReadResult got = aspihost::read_transcript(text);
        EXPECT_EQ(std::to_string(got.line) + ": " + got.why, r.why) << r.text;
    }
    EXPECT_EQ(aspihost::read_transcript(valid.substr(0, valid.size() - 1)).why,
              "the last line has no end (the file is cut short)");
    EXPECT_EQ(aspihost::read_transcript("transcript 1\n").why, "the header ends early");
}

// A command log or a recording is written only into a regular file: a
// link, a FIFO (with or without a reader), a folder or a device at the
// name is refused in one line, and a recording only into a new file.
TEST_F(Recording, OnlyIntoRegularFiles) {
    restart();
    const std::string file = dir_ + "/file", fifo = dir_ + "/fifo", link = dir_ + "/link";
    std::ofstream{file};
    ASSERT_EQ(symlink(file.c_str(), link.c_str()), 0);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const struct {
        std::string path;
        bool record;
        std::string said;  // empty: accepted
    } rows[] = {
        {file, false, ""},
        {link, false, "cannot open the command log " + link + ": Too many levels of symbolic links"},
        {fifo, false, "cannot open the command log " + fifo + ": not a regular file"},
        {"/dev/null", false, "cannot open the command log /dev/null: not a regular file"},
        {dir_, false, "cannot open the command log " + dir_ + ": Is a directory"},
        {dir_ + "/new", true, ""},
        {file, true, "cannot create the recording " + file + ": already exists"},
        {link, true, "cannot create the recording " + link + ": already exists"},
    };
    for (const auto& r : rows) {
        testing::internal::CaptureStderr();
        const int got = r.record ? api().record_to(r.path.c_str(), "t") : api().log_to(r.path.c_str());
        EXPECT_EQ(got, r.said.empty() ? 1 : 0) << r.path;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), r.said.empty() ? "" : "aspisim: " + r.said + "\n");
    }
    // A FIFO with a reader opens at once, and is refused all the same.
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    testing::internal::CaptureStderr();
    EXPECT_EQ(api().log_to(fifo.c_str()), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "aspisim: cannot open the command log " + fifo + ": not a regular file\n");
    close(reader);
}

// Under a file-size limit: the first write each file refuses is said once,
// the recording keeps whole lines (it still reads), and every command goes
// on as before.
TEST_F(Recording, AFailingWriteIsSaidOnceAndTheRunGoesOn) {
    restart();
    const std::string log = dir_ + "/log", rec = dir_ + "/rec";
    GTEST_FLAG_SET(death_test_style, "fast");  // a plain fork of this process
    EXPECT_EXIT(std::_Exit(UnderASizeLimit(log, rec) ? 0 : 1), testing::ExitedWithCode(0), "");
}

}  // namespace

#include "scg/scsierrs.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "scg/scg.h"

namespace {

std::string msg(int kind, int code, int qual, const char** vec = nullptr) {
    char buf[80];
    const char* m = scg_sensemsg(kind, code, qual, vec, buf, sizeof buf);
    return m != nullptr ? m : "(null)";
}

TEST(SenseTables, CcsTableHas306AscendingEntriesWithoutDuplicates) {
    int n = 0;
    int prev = -1;
    for (const char* const* e = sd_ccs_error_str; *e != nullptr; e++, n++) {
        const auto* b = reinterpret_cast<const unsigned char*>(*e);
        const int key = b[0] << 8 | b[1];
        EXPECT_GT(key, prev) << "entry " << n << ": " << (*e + 2);
        EXPECT_GT(std::strlen(*e + 2), 0u) << "entry " << n;
        prev = key;
    }
    EXPECT_EQ(n, 306);
}

TEST(SenseTables, OtherTablesHaveTheirSizesAndQualifierZero) {
    struct {
        const char* const* t;
        int n;
    } tables[] = {{sd_adaptec_error_str, 11}, {sd_smo_c501_error_str, 15}};
    for (const auto& t : tables) {
        int n = 0;
        for (const char* const* e = t.t; *e != nullptr; e++, n++) EXPECT_EQ((*e)[1], 0);
        EXPECT_EQ(n, t.n);
    }
    EXPECT_STREQ(sd_sense_keys[0], "No Additional Sense");
    EXPECT_STREQ(sd_sense_keys[5], "Illegal Request");
    EXPECT_STREQ(sd_sense_keys[15], "Reserved");
}

TEST(SenseTables, EntriesWhoseTextStartsWithAHexLetterKeepTheirCodes) {
    // "\x0B\x00" "warning": the split literal keeps 'w' out of the escape;
    // entries whose text begins with a-f are the ones at risk.
    EXPECT_EQ(msg(0, 0x0B, 0x00), "warning");
    EXPECT_EQ(msg(0, 0x3B, 0x0D), "medium destination element full");
    EXPECT_EQ(msg(0, 0x1C, 0x00), "defect list not found");
    EXPECT_EQ(msg(0, 0x5D, 0xFF), "failure prediction threshold exceeded (false)");
    EXPECT_EQ(msg(0, 0x00, 0x00), "no additional sense information");
    EXPECT_EQ(msg(0, 0x73, 0x05), "program memory area is full");
    EXPECT_EQ(msg(0, 0x22, 0x00), "illegal function (use 20 00, 24 00, or 26 00)");
}

TEST(SenseMessage, LookupsAndFallbacks) {
    EXPECT_EQ(msg(0, 0x04, 0x01), "logical unit is in process of becoming ready");
    EXPECT_EQ(msg(0, 0x3A, 0x00), "medium not present");
    EXPECT_EQ(msg(0, 0x3A, 0x10), "(null)");
    EXPECT_EQ(msg(0, 0x5F, 0x00), "invalid sense code 0x5F");
    EXPECT_EQ(msg(0, 0x99, 0x00), "vendor unique sense code 0x99");
    EXPECT_EQ(msg(0, 0x7F, 0x00), "invalid sense code 0x7F");
    EXPECT_EQ(msg(0, 0x80, 0x00), "vendor unique sense code 0x80");
    EXPECT_EQ(msg(0, 0x40, 0x00), "ram failure (should use 40 nn)");
    EXPECT_EQ(msg(0, 0x40, 0x81), "diagnostic failure on component 0x81");
    EXPECT_EQ(msg(0, 0x4D, 0x05), "tagged overlapped commands, queue tag is 0x5");
    EXPECT_EQ(msg(0, 0x70, 0x00), "decompression exception short algorithm id of 0x0");
}

TEST(SenseMessage, DeviceKindsSelectTheirTablesThenFallBackToCcs) {
    EXPECT_EQ(msg(3, 0x19, 0), "ECC error during verify");
    EXPECT_EQ(msg(1, 0x2F, 0), "adapter parity error");
    EXPECT_EQ(msg(5, 0x23, 0), "volume overflow");
    EXPECT_EQ(msg(6, 0x19, 0), "defect list error");
    EXPECT_EQ(msg(700, 0x23, 0), "illegal function for medium type");
    EXPECT_EQ(msg(0, 0x23, 0), "invalid sense code 0x23");
    EXPECT_EQ(msg(8, 0x23, 0), "invalid sense code 0x23");
    // A kind's own table first, the CCS table for what it lacks.
    EXPECT_EQ(msg(3, 0x3A, 0), "medium not present");
    EXPECT_EQ(msg(700, 0x3A, 0), "defect list update failed");
}

TEST(SenseMessage, CallerVectorComesFirst) {
    const char* vec[] = {
        "\x3A\x00"
        "tray is open",
        "\x00\x00"
        "all quiet",
        nullptr};
    EXPECT_EQ(msg(0, 0x3A, 0, vec), "tray is open");
    EXPECT_EQ(msg(700, 0x00, 0, vec), "all quiet");
    EXPECT_EQ(msg(0, 0x04, 0x01, vec), "logical unit is in process of becoming ready");
}

TEST(SenseMessage, FallbackTextIsBoundedByTheBuffer) {
    char buf[12];
    std::memset(buf, 'Z', sizeof buf);
    EXPECT_STREQ(scg_sensemsg(0, 0x99, 0, nullptr, buf, 8), "vendor ");
    EXPECT_EQ(buf[8], 'Z');
    EXPECT_EQ(scg_sensemsg(0, 0x99, 0, nullptr, buf, 0), nullptr);
}

// --- the three-line report ---------------------------------------------------

struct Report {
    unsigned char sense[SCG_MAX_SENSE] = {};
    unsigned char status[SCG_MAX_STATUS] = {0x02, 0, 0};
    int code = -1;
    int kind = 0;
    std::string run(int size = 1024) {
        SCSI h{};
        h.device_kind = kind;
        std::string buf(size + 8, '#');
        int n = scg__errmsg(&h, buf.data(), size, sense, status, code);
        EXPECT_GE(n, 0);
        EXPECT_LE(n, size > 0 ? size - 1 : 0);
        for (int i = size; i < size + 8; i++) EXPECT_EQ(buf[i], '#') << "beyond the buffer";
        if (size > 0) {
            EXPECT_EQ(buf[n], '\0');
        }
        return buf.substr(0, n);
    }
};

Report extended(int key, int asc, int ascq) {
    Report r;
    r.sense[0] = 0x70;
    r.sense[2] = static_cast<unsigned char>(key);
    r.sense[7] = 10;
    r.sense[12] = static_cast<unsigned char>(asc);
    r.sense[13] = static_cast<unsigned char>(ascq);
    return r;
}

TEST(SenseReport, BecomingReadyWithProgress) {
    Report r = extended(2, 0x04, 0x01);
    r.sense[15] = 0x80;
    r.sense[16] = 0x80;
    EXPECT_EQ(r.run(),
              "Sense Key: 0x2 Not Ready, Segment 0\n"
              "Sense Code: 0x04 Qual 0x01 (logical unit is in process of becoming ready) Fru 0x0\n"
              "Sense flags: Blk 0 (not valid) operation 50% done\n");
}

TEST(SenseReport, NoMatchingQualifierAndFlags) {
    Report r = extended(0x02 | 0x80 | 0x40 | 0x20, 0x3A, 0x10);
    r.sense[0] = 0xF0;
    r.sense[1] = 3;
    r.sense[3] = 0xFF, r.sense[4] = 0xFF, r.sense[5] = 0xFF, r.sense[6] = 0xFE;
    r.sense[14] = 0x1B;
    EXPECT_EQ(r.run(),
              "Sense Key: 0x2 Not Ready, Segment 3\n"
              "Sense Code: 0x3A Qual 0x10 (medium not present) [No matching qualifier] Fru 0x1B\n"
              "Sense flags: Blk -2 (valid) file mark detected end of medium "
              "illegal block length \n");
}

TEST(SenseReport, UnknownCodeWithQualifierGetsTheNoQualifierText) {
    Report r = extended(4, 0x99, 0x01);
    EXPECT_EQ(r.run(),
              "Sense Key: 0x4 Hardware Error, Segment 0\n"
              "Sense Code: 0x99 Qual 0x01 (vendor unique sense code 0x99) "
              "[No matching qualifier] Fru 0x0\n"
              "Sense flags: Blk 0 (not valid) \n");
}

TEST(SenseReport, DeferredErrorAndIllegalRequestFieldPointer) {
    Report r = extended(5, 0x24, 0x00);
    r.sense[0] = 0x71;
    r.sense[15] = 0xC8;
    r.sense[17] = 2;
    EXPECT_EQ(r.run(),
              "Sense Key: 0x5 Illegal Request, deferred error, Segment 0\n"
              "Sense Code: 0x24 Qual 0x00 (invalid field in cdb) Fru 0x0\n"
              "Sense flags: Blk 0 (not valid) error refers to command part, bit ptr 0 "
              "(valid) field ptr 2\n");
    r.sense[15] = 0x85;
    EXPECT_NE(r.run().find("error refers to data part, bit ptr 5 (not valid) field ptr 2\n"),
              std::string::npos);
}

TEST(SenseReport, RetryCountKeysAndKeysWithoutSenseKeySpecificText) {
    for (int key : {1, 3, 4}) {
        Report r = extended(key, 0x11, 0x00);
        r.sense[15] = 0x80;
        r.sense[16] = 0x01;
        r.sense[17] = 0x02;
        EXPECT_NE(r.run().find("(not valid) actual retry count 258\n"), std::string::npos);
    }
    Report r = extended(6, 0x29, 0x00);
    r.sense[15] = 0x80;
    r.sense[17] = 9;
    EXPECT_NE(r.run().find("Sense flags: Blk 0 (not valid) \n"), std::string::npos);
}

TEST(SenseReport, ShortFormSense) {
    Report r;
    r.sense[0] = 0x84;  // address valid, error code 4
    r.sense[1] = 0x01, r.sense[2] = 0x02, r.sense[3] = 0x03;
    EXPECT_EQ(r.run(),
              "Sense Key: 0xFFFFFFFF [], Segment 0\n"
              "Sense Code: 0x04 Qual 0x00 (logical unit not ready, cause not reportable) Fru 0x0\n"
              "Sense flags: Blk 66051 (valid) \n");
}

TEST(SenseReport, WithoutCheckConditionThereIsNoSense) {
    Report r = extended(2, 0x3A, 0x00);
    r.status[0] = 0x00;
    EXPECT_EQ(r.run(),
              "Sense Key: 0x0 [], Segment 0\n"
              "Sense Code: 0x3A Qual 0x00 (no sense) Fru 0x0\n"
              "Sense flags: Blk 0 (not valid) \n");
}

TEST(SenseReport, CodeOverrideAppliesToExtendedSenseOnly) {
    Report r = extended(2, 0x3A, 0x00);
    r.code = 0x04;
    EXPECT_NE(r.run().find("Sense Code: 0x04 Qual 0x00 (logical unit not ready, cause not "
                           "reportable)"),
              std::string::npos);
    Report s;
    s.sense[0] = 0x04;
    s.code = 0x3A;
    EXPECT_NE(s.run().find("Sense Code: 0x04 "), std::string::npos);
}

TEST(SenseReport, HandleDeviceKindReachesTheLookup) {
    Report r = extended(3, 0x19, 0x00);
    r.kind = 3;
    EXPECT_NE(r.run().find("(ECC error during verify)"), std::string::npos);
}

TEST(SenseReport, ShortBuffersCutTheReportInsideTheBuffer) {
    Report r = extended(2, 0x04, 0x01);
    r.sense[15] = 0x80;
    r.sense[16] = 0x80;
    const std::string full = r.run();
    for (int size = 0; size <= static_cast<int>(full.size()) + 2; size++) {
        const std::string cut = r.run(size);
        // Whatever fits is a prefix of the whole report.
        EXPECT_EQ(cut, full.substr(0, cut.size())) << "size " << size;
        if (size > static_cast<int>(full.size())) {
            EXPECT_EQ(cut, full);
        }
    }
    EXPECT_EQ(r.run(10), "Sense Key");
}

}  // namespace

// Drive model identification on the scripted transport.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fwimage/fwtables.h"
#include "scg/scg.h"
#include "tool/drivetype.h"
#include "tool/testing/tooltest.h"

namespace {

using qvtest::InquiryReply;

class DravlinTypeTest : public qvtest::ToolTest {
protected:
    void SetUp() override {
        ToolTest::SetUp();
        ASSERT_EQ(Open().end, std::nullopt);
    }

    // Types the drive answering `reply` at 0/2, with a text buffer prefilled
    // so that an untouched text shows.
    int Type(const scg_fake::Reply& reply) {
        fake.push(reply);
        text_.assign(80, '#');
        text_.back() = '\0';
        return DravlinType(*link, {0, 2}, text_.data());
    }
    std::string Text() const { return text_.data(); }

    std::vector<char> text_;
};

const std::string kUntouched(79, '#');

TEST_F(DravlinTypeTest, EveryRowOfTheProductTableIsItsType) {
    for (int i = 0; i < numProds; i++) {
        SCOPED_TRACE(ProductID[i]);
        EXPECT_EQ(Type(InquiryReply("DRAVLIN ", ProductID[i], "1.00")), i);
        EXPECT_EQ(Text(), std::string("DRAVLIN ") + ProductID[i] + " V1.00");
    }
    // Asked quietly, for 96 bytes, at lun 0.
    EXPECT_EQ(fake.sent.back().cdb, (std::vector<unsigned char>{0x12, 0, 0, 0, 96, 0}));
    EXPECT_EQ(fake.sent.back().target, 2);
    EXPECT_FALSE(link->silenced());
}

TEST_F(DravlinTypeTest, RevisionOneDotOneMakesTheB8nbType17ButTheTextKeepsRow12) {
    EXPECT_EQ(Type(InquiryReply("DRAVLIN ", "CD-ROM QV-B8NB  ", "1.10")), 17);
    EXPECT_EQ(Text(), "DRAVLIN CD-ROM QV-B8NB   V1.10");
    EXPECT_EQ(Type(InquiryReply("DRAVLIN ", "CD-ROM QV-B8NB  ", "1.04")), 12);
    EXPECT_EQ(Text(), "DRAVLIN CD-ROM QV-B8NB   V1.04");
    // Only row 12 is remapped.
    EXPECT_EQ(Type(InquiryReply("DRAVLIN ", "CD-ROM QV-B8NV  ", "1.10")), 14);
}

TEST_F(DravlinTypeTest, OtherVendorsAreNotTheMakersDrives) {
    for (const std::string& vendor : {std::string("DRAVLIN\0", 8), std::string("dravlin "),
                                      std::string("MERIDIAN"), std::string("DRAVLINX")}) {
        SCOPED_TRACE(vendor);
        EXPECT_EQ(Type(InquiryReply(vendor, "CD-R   QV-G567L ", "1.00")), -1);
        EXPECT_EQ(Text(), kUntouched);
    }
}

TEST_F(DravlinTypeTest, UnknownProductOfTheMakerIsMinusTwoWithTheNotice) {
    EXPECT_EQ(Type(InquiryReply("DRAVLIN ", std::string("CD-ROM QV-B8NB\0\0", 16), "1.04")), -2);
    EXPECT_EQ(Text(), "Dravlin drive CD-ROM QV-B8NB not recognized.\nContact Dravlin for an update.");

    EXPECT_EQ(Type(InquiryReply("DRAVLIN ", "CD-R   QV-Z999ZZ", "1.04")), -2);
    EXPECT_EQ(Text(), "Dravlin drive CD-R   QV-Z999ZZ not recognized.\nContact Dravlin for an update.");

    // Without a text there is nothing to say, and the type stays -1.
    fake.push(InquiryReply("DRAVLIN ", "CD-R   QV-Z999ZZ", "1.04"));
    EXPECT_EQ(DravlinType(*link, {0, 2}, nullptr), -1);
    fake.push(InquiryReply("DRAVLIN ", "CD-R   QV-G567L ", "1.04"));
    EXPECT_EQ(DravlinType(*link, {0, 2}, nullptr), 13);
}

TEST_F(DravlinTypeTest, ShortAnswerReadsAsZeroBytesNotAsOldBufferContents) {
    scg_fake::Reply r = InquiryReply("DRAVLIN ", "CD-R   QV-G567L ", "1.00");
    r.data.resize(24);  // the answer ends inside the product id
    EXPECT_EQ(Type(r), -2);
    EXPECT_EQ(Text(), "Dravlin drive CD-R   Q not recognized.\nContact Dravlin for an update.");
}

TEST_F(DravlinTypeTest, NoDeviceOrNoAdapterLeavesTheTextAlone) {
    scg_fake::Reply missing;
    missing.error = SCGE_FATAL;
    missing.ux_errno = 22;
    EXPECT_EQ(Type(missing), -1);
    EXPECT_EQ(Text(), kUntouched);

    const std::size_t sent = fake.sent.size();
    text_.assign(80, '#');
    text_.back() = '\0';
    const Identified none = IdentifyDrive(*link, {4, 2}, text_.data());  // the fake has adapter 0 only
    EXPECT_EQ(none.type, -1);
    EXPECT_EQ(none.reply, Reply::no_bus);
    EXPECT_EQ(Text(), kUntouched);
    EXPECT_EQ(fake.sent.size(), sent);

    // A drive that another process has is no drive here, but says so.
    scg_fake::Reply busy;
    busy.status[0] = 0x08;
    fake.push(busy);
    const Identified in_use = IdentifyDrive(*link, {0, 2}, text_.data());
    EXPECT_EQ(in_use.type, -1);
    EXPECT_EQ(in_use.reply, Reply::in_use);
}

TEST(RemoveSpacesTest, CutsTrailingBlanksOnly) {
    const struct {
        const char* src;
        const char* want;
    } cases[] = {
        {"QV-G253K ", "QV-G253K"}, {"QV-H3551L", "QV-H3551L"}, {"    ", ""}, {"", ""}, {" A B  ", " A B"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.src);
        char dst[20];
        EXPECT_EQ(RemoveSpaces(c.src, dst), dst);
        EXPECT_STREQ(dst, c.want);
    }
}

TEST(ModelNameTest, ModelPartOfTheRowAndRow10ForTheLoaderMode) {
    char out[17];
    EXPECT_STREQ(ModelName(11, out), "QV-G253K");
    EXPECT_STREQ(ModelName(10, out), "QV-G253K");
    EXPECT_STREQ(ModelName(0, out), "QV-B1MA");
    EXPECT_STREQ(ModelName(13, out), "QV-G567L");
    EXPECT_STREQ(ModelName(15, out), "QV-H3551L");
    EXPECT_STREQ(ModelName(17, out), "QV-xxNB");
    EXPECT_STREQ(ModelName(22, out), "QV-H9749A");
    EXPECT_STREQ(ModelName(-1, out), "");
    EXPECT_STREQ(ModelName(23, out), "");
}

}  // namespace

// The dummy and remote tables.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "scg/scg.h"
#include "scg/scsihack.h"
#include "support/utils.h"
#include "testing/testsupport.h"

namespace {

TEST(DummyTransport, EverySlotFailsWithoutTouchingADevice) {
    SCSI* scgp = scg_smalloc();
    const scg_ops* ops = scgp->ops;
    ASSERT_EQ(ops, &scg_dummy_ops);
    // Each failing slot leaves EINVAL behind.
    auto einval = [](auto result) {
        const int err = errno;
        errno = 0;
        EXPECT_EQ(err, EINVAL);
        return result;
    };
    errno = 0;
    EXPECT_EQ(einval(ops->scgo_send(scgp)), -1);
    EXPECT_EQ(einval(ops->scgo_close(scgp)), -1);
    EXPECT_EQ(einval(ops->scgo_maxdma(scgp, 4096)), 0);
    EXPECT_EQ(einval(ops->scgo_getbuf(scgp, 4096)), nullptr);
    EXPECT_EQ(einval(ops->scgo_reset(scgp, 0)), -1);
    errno = 0;
    EXPECT_EQ(ops->scgo_havebus(scgp, 0), 0);
    EXPECT_EQ(ops->scgo_fileno(scgp, 0, 0, 0), -1);
    EXPECT_EQ(ops->scgo_initiator_id(scgp), -1);
    EXPECT_EQ(ops->scgo_isatapi(scgp), 0);
    ops->scgo_freebuf(scgp);
    EXPECT_EQ(errno, 0);

    // Through the accessors: no buffer for a handle without a device.
    EXPECT_EQ(scg_bufsize(scgp, 1000), 0);
    EXPECT_EQ(scg_getbuf(scgp, 1000), nullptr);
    scg_sfree(scgp);
}

TEST(DummyTransport, VersionTexts) {
    SCSI* scgp = scg_smalloc();
    EXPECT_STREQ(scg_version(scgp, SCGV_VERSION), "scsihack-1.37");
    EXPECT_STREQ(scg_version(scgp, SCGV_AUTHOR), "quisto");
    EXPECT_NE(scg_version(scgp, SCGV_ID), nullptr);
    EXPECT_EQ(scg_version(scgp, 3), nullptr);
    for (int what = -1; what < 4; what++) EXPECT_EQ(scg_dummy_ops.scgo_version(nullptr, what), nullptr);
    EXPECT_STREQ(scg_remote_ops.scgo_version(scgp, SCGV_VERSION), "scsihack-1.37");
    scg_sfree(scgp);
}

TEST(DummyTransport, RemoteTableDiffersOnlyInOpen) {
    EXPECT_EQ(scg_remote(), &scg_remote_ops);
    EXPECT_NE(scg_remote_ops.scgo_open, scg_dummy_ops.scgo_open);
    EXPECT_EQ(scg_remote_ops.scgo_send, scg_dummy_ops.scgo_send);
    EXPECT_EQ(scg_remote_ops.scgo_reset, scg_dummy_ops.scgo_reset);
    EXPECT_EQ(scg_remote_ops.scgo_fileno, scg_dummy_ops.scgo_fileno);
}

TEST(DummyTransport, StandardTransportSelection) {
    EXPECT_EQ(scg_std_transport(), &scg_std_ops);
    const scg_ops* old = scg_set_std_transport(&scg_dummy_ops);
    EXPECT_EQ(old, &scg_std_ops);
    EXPECT_EQ(scg_std_transport(), &scg_dummy_ops);
    scg_set_std_transport(nullptr);
    EXPECT_EQ(scg_std_transport(), &scg_std_ops);
}

TEST(DummyTransport, OpensAreRefusedAloud) {
    SCSI* scgp = scg_smalloc();
    qvtest::StderrCapture cap;
    errno = EIO;
    EXPECT_EQ(scg_dummy_ops.scgo_open(scgp, ""), -1);
    EXPECT_EQ(errno, 0) << "no system error applies";
    EXPECT_EQ(scg_remote_ops.scgo_open(scgp, "REMOTE:x"), -1);
    const std::string prog = sup::get_progname();
    EXPECT_EQ(cap.text(),
              prog + ": SCSI open usage error.\n" + prog + ": No remote SCSI transport available.\n");
    scg_sfree(scgp);
}

}  // namespace

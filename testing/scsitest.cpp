#include "testing/scsitest.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "testing/testsupport.h"

namespace qvtest {

void HandleTest::SetUp() {
    scgp = fake.make_handle(0, 1, 0);
    ASSERT_NE(scgp, nullptr);
    scgp->err_stream = out;
}

void HandleTest::TearDown() { scg_sfree(scgp); }

scg_fake::Reply CheckCondition(unsigned char key, unsigned char asc, unsigned char ascq) {
    scg_fake::Reply r;
    r.status[0] = 0x02;
    r.sense = FixedSense(key, asc, ascq);
    return r;
}

scg_fake::Reply InquiryReply(const std::string& vendor, const std::string& product,
                             const std::string& revision) {
    scg_fake::Reply r;
    r.data.assign(36, ' ');
    r.data[0] = 5;  // CD-ROM device
    auto put = [&r](std::size_t at, std::size_t width, const std::string& field) {
        std::copy_n(field.begin(), std::min(width, field.size()), r.data.begin() + static_cast<long>(at));
    };
    put(8, 8, vendor);
    put(16, 16, product);
    put(32, 4, revision);
    return r;
}

void AnswerAsBus(scg_fake::FakeTransport& fake, Devices devices) {
    fake.fallback.during = [devices = std::move(devices)](SCSI* s) {
        struct scg_cmd* rec = s->cmdrec;
        const auto it = devices.find({s->scsibus, s->target});
        if (it == devices.end()) {
            rec->error = SCGE_FATAL;
            rec->ux_errno = EINVAL;
            return;
        }
        const scg_fake::Reply& r = it->second;
        if (rec->cdb[0] != 0x12) return;
        rec->error = r.error;
        rec->ux_errno = r.ux_errno;
        std::memcpy(rec->status, r.status, sizeof rec->status);
        const std::size_t n = std::min(r.data.size(), static_cast<std::size_t>(std::max(rec->size, 0)));
        if (n > 0) std::memcpy(rec->addr, r.data.data(), n);
    };
}

}  // namespace qvtest

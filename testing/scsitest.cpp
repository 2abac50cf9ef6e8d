#include "testing/scsitest.h"

#include <algorithm>

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

}  // namespace qvtest

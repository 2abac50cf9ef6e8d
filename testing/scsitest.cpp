#include "testing/scsitest.h"

#include "testing/testsupport.h"

namespace qvtest {

scg_fake::Reply CheckCondition(unsigned char key, unsigned char asc, unsigned char ascq) {
    scg_fake::Reply r;
    r.status[0] = 0x02;
    r.sense = FixedSense(key, asc, ascq);
    return r;
}

}  // namespace qvtest

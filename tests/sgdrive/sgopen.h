// What the open companion (sgopen.so) and the testbed agree on.
//
// umockdev cannot fail an open and ignores O_EXCL. The companion adds what
// the drivers do. It is preloaded before umockdev's library, which calls the
// C library's open directly and so would never pass an open on to a library
// after it; the companion sees /dev/sgN and hands the open to umockdev.
//  - a node named in the rules file fails to open with the errno given there,
//    one "NODE ERRNO" line per node ("sg1 13");
//  - sg nodes: an O_EXCL open fails with EBUSY while the node is open
//    anywhere, any open fails with EBUSY while it is open with O_EXCL;
//  - sr nodes (block devices): an O_EXCL open fails with EBUSY while another
//    O_EXCL open (or a mount, which the testbed plays with one) holds it.
// The rules hold across processes: they are flock(2) locks on the testbed's
// node files ($UMOCKDEV_DIR/dev/sgN), released with the descriptor.
#pragma once

namespace sgdrive {

inline constexpr char kRulesFile[] = "sgopen.rules";  // in $UMOCKDEV_DIR

}  // namespace sgdrive

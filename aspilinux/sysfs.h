// Discovery of the SCSI generic nodes from sysfs alone: no device is opened.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "aspilinux/kernel.h"

namespace aspilinux {

// One /dev/sgN and the SCSI device H:C:T:L behind it.
struct Node {
    int sg = -1;
    int host = 0, channel = 0, target = 0, lun = 0;
    int type = -1;  // peripheral device type; -1 when sysfs has none
    std::string vendor, model, rev;
    std::string block;  // "sr0" when the device has a block node, else empty
    // Where the device sits in the device tree, which a new name after a
    // restart leaves as it is: the sysfs folder above its hostH folder
    // ("/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0"), links
    // resolved; empty when it is not known.
    std::string place;

    std::string hctl() const;
    // "VENDOR MODEL", blanks trimmed.
    std::string name() const;
};

// Every scsi_generic node in the kernel's sysfs, in the order of (host,
// channel, target, lun). Nodes whose address does not fit an ASPI target or
// LUN (a byte) are left out.
std::vector<Node> scan(Kernel& kernel);

// Numbers the (host, channel) pairs of `nodes` that `adapters` (the pairs
// by their adapter number) lacks, in numeric order, while it holds fewer
// than `max`: a number once given never moves.
void number_adapters(std::vector<std::pair<int, int>>& adapters, const std::vector<Node>& nodes,
                     std::size_t max);

// The first line of a small sysfs file, trailing blanks removed; empty when
// it cannot be read.
std::string read_attribute(Kernel& kernel, const std::string& path);

}  // namespace aspilinux

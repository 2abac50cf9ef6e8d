// Discovery on fuzzer-made sysfs trees (layout.h), held in memory behind
// the layer's Kernel seam: a first and a second tree, as drives come and
// go, each scanned and its adapters numbered on the table the first left.
// Checked: discovery asks for nothing outside the tree and opens nothing;
// every node found is an entry "sgN" whose device link ends in the node's
// H:C:T:L as the kernel writes it, with the type its attribute holds, and
// its place in the device tree a resolved path below the root; no
// two nodes share an sg number; the adapters are at most the table's 8,
// never renumbered, numbered in order, and every pair found has one while
// the table has room.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "aspilinux/sgtarget.h"
#include "aspilinux/sysfs.h"
#include "fuzz/sysfs/layout.h"

namespace {

using Pairs = std::vector<std::pair<int, int>>;

void require(bool ok) {
    if (!ok) std::abort();
}

std::string first_line(std::string s) {
    s = s.substr(0, s.find('\n'));
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.pop_back();
    return s;
}

void check_nodes(aspilinux_fake::FakeKernel& t, const std::vector<aspilinux::Node>& nodes,
                 std::size_t entries) {
    const std::string dir = t.sysfs_root() + "/class/scsi_generic";
    const std::vector<std::string> names = t.names(dir);
    std::set<int> sgs;
    require(nodes.size() <= entries);
    for (const aspilinux::Node& n : nodes) {
        const std::string name = "sg" + std::to_string(n.sg);
        require(n.sg >= 0 && sgs.insert(n.sg).second);
        require(std::find(names.begin(), names.end(), name) != names.end());
        const std::string device = dir + "/" + name + "/device";
        const std::string link = t.link(device);
        require(link.substr(link.find_last_of('/') + 1) == n.hctl());
        require(n.host <= 0xFFFF && n.channel <= 0xFFFF && n.target <= 255 && n.lun <= 255);
        if (n.type >= 0)
            require(n.type <= 0x1F && first_line(t.read(device + "/type", 256)) == std::to_string(n.type));
        for (const std::string* s : {&n.vendor, &n.model, &n.rev})
            require(s->find('\n') == std::string::npos);
        // Its place is a path the tree takes as one below it (counted
        // otherwise), with no link left to follow in it.
        if (!n.place.empty()) {
            t.names(n.place);
            require(t.strayed == 0 && t.link(n.place).empty());
        }
    }
}

// `now` after numbering the pairs of `nodes` on the table `before`.
void check_adapters(const Pairs& before, const Pairs& now, const std::vector<aspilinux::Node>& nodes) {
    Pairs found;
    for (const aspilinux::Node& n : nodes) found.emplace_back(n.host, n.channel);
    require(now.size() <= aspilinux::MAX_ADAPTERS);
    require(std::equal(before.begin(), before.end(), now.begin(), now.begin() + before.size()));
    for (std::size_t i = 0; i < now.size(); i++)
        require(std::find(now.begin() + i + 1, now.end(), now[i]) == now.end());
    for (std::size_t i = before.size(); i < now.size(); i++) {
        require(std::find(found.begin(), found.end(), now[i]) != found.end());
        require(i == before.size() || now[i - 1] < now[i]);
    }
    if (now.size() < aspilinux::MAX_ADAPTERS)
        for (const auto& pair : found) require(std::find(now.begin(), now.end(), pair) != now.end());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // One tree for every input, so that its nodes are allocated once; it
    // grows seldom, and libFuzzer looks for a leak only when it does.
    static aspilinux_fake::FakeKernel tree;
    const layout::Input in = layout::decode(data, size);
    // The second tree only when drives came or went.
    const bool changed = std::any_of(in.entries.begin(), in.entries.end(), [](const layout::Entry& e) {
        return !(e.flags & layout::IN_FIRST) != !(e.flags & layout::IN_SECOND);
    });
    Pairs adapters;
    for (std::uint8_t which : {layout::IN_FIRST, layout::IN_SECOND}) {
        if (which == layout::IN_SECOND && !changed) break;
        layout::lay_out(tree, in, which);
        const std::vector<aspilinux::Node> nodes = aspilinux::scan(tree);
        require(tree.strayed == 0 && tree.opens.empty());
        check_nodes(tree, nodes, in.entries.size());
        const Pairs before = adapters;
        aspilinux::number_adapters(adapters, nodes, aspilinux::MAX_ADAPTERS);
        check_adapters(before, adapters, nodes);
    }
    return 0;
}

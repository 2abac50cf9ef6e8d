#include "aspilinux/sysfs.h"

#include <algorithm>
#include <cstdio>
#include <tuple>

namespace aspilinux {

namespace {

constexpr std::size_t MAX_ATTRIBUTE = 256;

// The names in a folder but the hidden ones ("." and ".." among them), in
// order.
std::vector<std::string> entries(Kernel& kernel, const std::string& dir) {
    std::vector<std::string> names = kernel.names(dir);
    std::erase_if(names, [](const std::string& name) { return name[0] == '.'; });
    std::sort(names.begin(), names.end());
    return names;
}

std::string last_part(Kernel& kernel, const std::string& link) {
    std::string target = kernel.link(link);
    return target.substr(target.find_last_of('/') + 1);
}

// "sg12" -> 12; -1 for anything else.
int sg_number(const std::string& name) {
    int n = -1, used = 0;
    if (std::sscanf(name.c_str(), "sg%d%n", &n, &used) != 1 || used != static_cast<int>(name.size()) || n < 0)
        return -1;
    return n;
}

bool parse_hctl(const std::string& s, Node& n) {
    long long h, c, t, l;
    int used = 0;
    if (std::sscanf(s.c_str(), "%lld:%lld:%lld:%lld%n", &h, &c, &t, &l, &used) != 4 ||
        used != static_cast<int>(s.size()))
        return false;
    if (h < 0 || c < 0 || h > 0xFFFF || c > 0xFFFF || t < 0 || t > 255 || l < 0 || l > 255) return false;
    n.host = static_cast<int>(h);
    n.channel = static_cast<int>(c);
    n.target = static_cast<int>(t);
    n.lun = static_cast<int>(l);
    return true;
}

}  // namespace

std::string Node::hctl() const {
    return std::to_string(host) + ":" + std::to_string(channel) + ":" + std::to_string(target) + ":" +
           std::to_string(lun);
}

std::string Node::name() const {
    if (vendor.empty()) return model;
    return model.empty() ? vendor : vendor + " " + model;
}

std::string read_attribute(Kernel& kernel, const std::string& path) {
    std::string s = kernel.read(path, MAX_ATTRIBUTE);
    s = s.substr(0, s.find('\n'));
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.pop_back();
    return s;
}

std::vector<Node> scan(Kernel& kernel) {
    std::vector<Node> nodes;
    const std::string dir = kernel.sysfs_root() + "/class/scsi_generic";
    for (const std::string& name : entries(kernel, dir)) {
        Node n;
        n.sg = sg_number(name);
        const std::string device = dir + "/" + name + "/device";
        if (n.sg < 0 || !parse_hctl(last_part(kernel, device), n)) continue;
        std::string type = read_attribute(kernel, device + "/type");
        int t = -1, used = 0;
        if (std::sscanf(type.c_str(), "%d%n", &t, &used) == 1 && used == static_cast<int>(type.size()) &&
            t >= 0 && t <= 0x1F)
            n.type = t;
        n.vendor = read_attribute(kernel, device + "/vendor");
        n.model = read_attribute(kernel, device + "/model");
        n.rev = read_attribute(kernel, device + "/rev");
        std::vector<std::string> block = entries(kernel, device + "/block");
        if (!block.empty()) n.block = block.front();
        nodes.push_back(std::move(n));
    }
    std::sort(nodes.begin(), nodes.end(), [](const Node& a, const Node& b) {
        return std::tie(a.host, a.channel, a.target, a.lun, a.sg) <
               std::tie(b.host, b.channel, b.target, b.lun, b.sg);
    });
    return nodes;
}

void number_adapters(std::vector<std::pair<int, int>>& adapters, const std::vector<Node>& nodes,
                     std::size_t max) {
    std::vector<std::pair<int, int>> pairs;
    for (const Node& n : nodes) pairs.emplace_back(n.host, n.channel);
    std::sort(pairs.begin(), pairs.end());
    pairs.erase(std::unique(pairs.begin(), pairs.end()), pairs.end());
    for (const auto& pair : pairs)
        if (adapters.size() < max && std::find(adapters.begin(), adapters.end(), pair) == adapters.end())
            adapters.push_back(pair);
}

}  // namespace aspilinux

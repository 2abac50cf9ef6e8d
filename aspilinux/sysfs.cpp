#include "aspilinux/sysfs.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <tuple>

#include "platform/descriptors.h"

namespace aspilinux {

namespace {

constexpr std::size_t MAX_ATTRIBUTE = 256;

std::vector<std::string> entries(const std::string& dir) {
    std::vector<std::string> names;
    int fd = platform::above_stdio(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd < 0) return names;
    DIR* d = ::fdopendir(fd);
    if (d == nullptr) {
        ::close(fd);
        return names;
    }
    while (const dirent* e = ::readdir(d))
        if (e->d_name[0] != '.') names.emplace_back(e->d_name);
    ::closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

std::string last_part(const std::string& link) {
    char buf[4096];
    ssize_t n = ::readlink(link.c_str(), buf, sizeof buf - 1);
    if (n <= 0) return {};
    std::string target(buf, static_cast<std::size_t>(n));
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

std::string read_attribute(const std::string& path) {
    int fd = platform::above_stdio(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd < 0) return {};
    char buf[MAX_ATTRIBUTE];
    ssize_t n = ::read(fd, buf, sizeof buf);
    ::close(fd);
    if (n <= 0) return {};
    std::string s(buf, static_cast<std::size_t>(n));
    s = s.substr(0, s.find('\n'));
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.pop_back();
    return s;
}

std::vector<Node> scan(const std::string& sysfs) {
    std::vector<Node> nodes;
    const std::string dir = sysfs + "/class/scsi_generic";
    for (const std::string& name : entries(dir)) {
        Node n;
        n.sg = sg_number(name);
        const std::string device = dir + "/" + name + "/device";
        if (n.sg < 0 || !parse_hctl(last_part(device), n)) continue;
        std::string type = read_attribute(device + "/type");
        int t = -1, used = 0;
        if (std::sscanf(type.c_str(), "%d%n", &t, &used) == 1 && used == static_cast<int>(type.size()) &&
            t >= 0 && t <= 0x1F)
            n.type = t;
        n.vendor = read_attribute(device + "/vendor");
        n.model = read_attribute(device + "/model");
        n.rev = read_attribute(device + "/rev");
        std::vector<std::string> block = entries(device + "/block");
        if (!block.empty()) n.block = block.front();
        nodes.push_back(std::move(n));
    }
    std::sort(nodes.begin(), nodes.end(), [](const Node& a, const Node& b) {
        return std::tie(a.host, a.channel, a.target, a.lun, a.sg) <
               std::tie(b.host, b.channel, b.target, b.lun, b.sg);
    });
    return nodes;
}

std::vector<std::pair<int, int>> adapters_of(const std::vector<Node>& nodes, std::size_t max) {
    std::vector<std::pair<int, int>> pairs;
    for (const Node& n : nodes) pairs.emplace_back(n.host, n.channel);
    std::sort(pairs.begin(), pairs.end());
    pairs.erase(std::unique(pairs.begin(), pairs.end()), pairs.end());
    if (pairs.size() > max) pairs.resize(max);
    return pairs;
}

}  // namespace aspilinux

#include "aspilinux/sysfs.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <string_view>
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

// A number as the kernel writes one: decimal digits without sign, blank or
// leading zero, at most `max`; -1 for anything else. Any other text names
// another number than it reads as ("sg05" is not /dev/sg5, "sg4294967296"
// not /dev/sg0).
long long decimal(std::string_view s, long long max) {
    unsigned long long v = 0;
    if (s.empty() || (s[0] == '0' && s.size() > 1)) return -1;
    auto [end, err] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (err != std::errc() || end != s.data() + s.size() || v > static_cast<unsigned long long>(max))
        return -1;
    return static_cast<long long>(v);
}

// "sg12" -> 12; -1 for anything else.
int sg_number(std::string_view name) {
    return name.starts_with("sg") ? static_cast<int>(decimal(name.substr(2), INT_MAX)) : -1;
}

bool parse_hctl(std::string_view s, Node& n) {
    int* parts[] = {&n.host, &n.channel, &n.target, &n.lun};
    const long long max[] = {0xFFFF, 0xFFFF, 255, 255};
    for (int i = 0; i < 4; i++) {
        std::size_t cut = i < 3 ? s.find(':') : s.size();
        if (cut == std::string_view::npos) return false;
        long long v = decimal(s.substr(0, cut), max[i]);
        if (v < 0) return false;
        *parts[i] = static_cast<int>(v);
        s.remove_prefix(std::min(cut + 1, s.size()));
    }
    return true;
}

constexpr int MAX_LINKS = 40;  // as the kernel follows them

// The folder a sysfs path leads to, its links followed, as the kernel
// resolves it; empty when it would leave the sysfs root or the links do
// not end. Only paths below the root are asked for.
std::string resolve(Kernel& kernel, const std::string& path) {
    const std::string root = kernel.sysfs_root();
    if (!path.starts_with(root + "/")) return {};
    std::string at = root;
    std::vector<std::string> todo;  // parts still to walk, the next last
    auto push = [&todo](std::string_view parts) {
        const std::size_t mark = todo.size();
        while (!parts.empty()) {
            const std::size_t cut = std::min(parts.find('/'), parts.size());
            todo.emplace_back(parts.substr(0, cut));
            parts.remove_prefix(std::min(cut + 1, parts.size()));
        }
        std::reverse(todo.begin() + static_cast<std::ptrdiff_t>(mark), todo.end());
    };
    push(std::string_view(path).substr(root.size() + 1));
    for (int links = 0; !todo.empty();) {
        const std::string part = std::move(todo.back());
        todo.pop_back();
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            if (at.size() == root.size()) return {};
            at.resize(at.find_last_of('/'));
            continue;
        }
        const std::string to = kernel.link(at + "/" + part);
        if (to.empty()) {
            at += "/" + part;
            continue;
        }
        if (++links > MAX_LINKS) return {};
        if (to[0] == '/') {
            if (!to.starts_with(root + "/")) return {};
            at = root;
            push(std::string_view(to).substr(root.size() + 1));
        } else {
            push(to);
        }
    }
    return at;
}

// The folder above the device's hostH folder; empty when its path has
// none.
std::string place_of(Kernel& kernel, const std::string& device, int host) {
    const std::string path = resolve(kernel, device);
    const std::string folder = "/host" + std::to_string(host) + "/";
    const std::size_t at = path.rfind(folder);
    return at == std::string::npos || at <= kernel.sysfs_root().size() ? "" : path.substr(0, at);
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
        n.type = static_cast<int>(decimal(read_attribute(kernel, device + "/type"), 0x1F));
        n.vendor = read_attribute(kernel, device + "/vendor");
        n.model = read_attribute(kernel, device + "/model");
        n.rev = read_attribute(kernel, device + "/rev");
        std::vector<std::string> block = entries(kernel, device + "/block");
        if (!block.empty()) n.block = block.front();
        n.place = place_of(kernel, device, n.host);
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

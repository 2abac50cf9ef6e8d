// sysfs in memory behind the Linux layer's Kernel seam, for the fuzz
// targets: folders, files and symbolic links below "/sys", resolved as the
// kernel resolves a path (links followed, at most 40 of them; ".." at the
// root stays there). A link that leads out of /sys finds nothing there, as
// sysfs holds no such link. Every path the layer asks for is checked: it
// must lie below "/sys" and hold no empty, "." or ".." part; `strayed`
// counts those that do not. Opening anything is counted too (discovery
// opens nothing) and answers a descriptor of its own; no ioctl is known.
#pragma once

#include <cerrno>
#include <string>
#include <string_view>
#include <vector>

#include "aspilinux/kernel.h"

// The fake's own branches are no coverage for the fuzzer to chase, and
// their comparison tracing would cost more than the code under test.
#define MEMSYSFS_NO_COVERAGE __attribute__((no_sanitize("coverage")))

namespace memsysfs {

class Tree : public aspilinux::Kernel {
public:
    enum Kind { folder, file, symlink };
    static constexpr int ROOT = 0, SYS = 1;

    Tree() {
        nodes_.reserve(64);
        clear();
    }

    // Only "/" and "/sys" are left.
    MEMSYSFS_NO_COVERAGE void clear() {
        nodes_.assign(1, Node{folder, ROOT, -1, -1, -1, "", ""});
        add(ROOT, folder, "sys");
        strayed = opens = 0;
    }

    // A new node `name` in the folder `parent`, or the one of that name
    // already there when it is a folder and a folder is asked for; -1 when
    // the name is none a folder can hold (empty, ".", "..", with '/' or
    // NUL) or taken.
    MEMSYSFS_NO_COVERAGE int add(int parent, Kind kind, const std::string& name,
                                 const std::string& content = "") {
        if (parent < 0 || nodes_[parent].kind != folder || name.empty() || name == "." || name == ".." ||
            name.find_first_of(std::string_view("/\0", 2)) != std::string::npos)
            return -1;
        if (int had = child(parent, name); had >= 0)
            return kind == folder && nodes_[had].kind == folder ? had : -1;
        int at = static_cast<int>(nodes_.size());
        nodes_.push_back(Node{kind, parent, -1, -1, -1, name, content});
        Node& p = nodes_[parent];
        (p.last < 0 ? p.first : nodes_[p.last].next) = at;
        p.last = at;
        return at;
    }

    int open(const std::string&, int) override { return 100 + opens++; }
    int close(int) override { return 0; }
    int ioctl(int, unsigned long, void*) override { return errno = ENOTTY, -1; }
    std::string sysfs_root() const override { return "/sys"; }
    std::string dev_root() const override { return "/dev"; }

    MEMSYSFS_NO_COVERAGE std::vector<std::string> names(const std::string& dir) override {
        int at = asked(dir, true);
        if (at < 0 || nodes_[at].kind != folder) return {};
        std::vector<std::string> found = {".", ".."};
        for (int c = nodes_[at].first; c >= 0; c = nodes_[c].next) found.push_back(nodes_[c].name);
        return found;
    }
    MEMSYSFS_NO_COVERAGE std::string link(const std::string& path) override {
        int at = asked(path, false);
        return at >= 0 && nodes_[at].kind == symlink ? nodes_[at].content : "";
    }
    MEMSYSFS_NO_COVERAGE std::string read(const std::string& path, std::size_t max) override {
        int at = asked(path, true);
        return at >= 0 && nodes_[at].kind == file ? nodes_[at].content.substr(0, max) : "";
    }

    int strayed = 0;
    int opens = 0;

private:
    // A folder's children are a list in the order they came, through
    // `first` and `next`: the tree is one allocation but for long texts.
    struct Node {
        Kind kind;
        int parent, first, last, next;
        std::string name;
        std::string content;  // a file's bytes, a link's text
    };
    static constexpr int MAX_LINKS = 40;

    MEMSYSFS_NO_COVERAGE int child(int dir, std::string_view name) const {
        for (int c = nodes_[dir].first; c >= 0; c = nodes_[c].next)
            if (nodes_[c].name == name) return c;
        return -1;
    }

    // The node a path leads to from the folder `at`; -1 when there is none.
    MEMSYSFS_NO_COVERAGE int walk(int at, std::string_view path, bool follow_last, int& links) const {
        if (path.starts_with('/')) at = ROOT;
        while (!path.empty()) {
            std::size_t cut = path.find('/');
            std::string_view part = path.substr(0, cut);
            path = cut == std::string_view::npos ? std::string_view() : path.substr(cut + 1);
            if (part.empty() || part == ".") continue;
            if (nodes_[at].kind != folder) return -1;
            if (part == "..") {
                at = nodes_[at].parent;
                continue;
            }
            int next = child(at, part);
            if (next < 0) return -1;
            if (nodes_[next].kind == symlink &&
                (follow_last || path.find_first_not_of('/') != std::string::npos)) {
                if (++links > MAX_LINKS) return -1;
                next = walk(at, nodes_[next].content, true, links);
                if (next < 0) return -1;
            }
            at = next;
        }
        return at;
    }

    // What the layer asks for: counted when it strays, then resolved.
    MEMSYSFS_NO_COVERAGE int asked(const std::string& path, bool follow_last) {
        std::string_view rest(path);
        bool below = rest.starts_with("/sys/");
        for (rest.remove_prefix(below ? 5 : 0); below;) {
            std::size_t cut = rest.find('/');
            std::string_view part = rest.substr(0, cut);
            below = !part.empty() && part != "." && part != "..";
            if (cut == std::string_view::npos) break;
            rest.remove_prefix(cut + 1);
        }
        if (!below) strayed++;
        int links = 0;
        return walk(ROOT, path, follow_last, links);
    }

    std::vector<Node> nodes_;
};

}  // namespace memsysfs

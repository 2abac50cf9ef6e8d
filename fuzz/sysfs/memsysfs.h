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

    Tree() { clear(); }

    // Only "/" and "/sys" are left. The nodes beyond are kept for the next
    // tree to fill, texts and all: a tree laid out again for every input
    // then allocates almost nothing.
    MEMSYSFS_NO_COVERAGE void clear() {
        used_ = 0;
        put(folder, ROOT, "", "");
        add(ROOT, folder, "sys");
        strayed = opens = 0;
    }

    // A new node `name` in the folder `parent`, or the one of that name
    // already there when it is a folder and a folder is asked for; -1 when
    // the name is none a folder can hold (empty, ".", "..", with '/' or
    // NUL) or taken.
    MEMSYSFS_NO_COVERAGE int add(int parent, Kind kind, const std::string& name,
                                 const std::string& content = "") {
        if (parent < 0 || nodes_[parent].kind != folder || name.empty() || same(name, ".", 1) ||
            same(name, "..", 2))
            return -1;
        for (char c : name)
            if (c == '/' || c == '\0') return -1;
        if (int had = child(parent, name.data(), name.size()); had >= 0)
            return kind == folder && nodes_[had].kind == folder ? had : -1;
        int at = put(kind, parent, name, content);
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
        Kind kind = folder;
        int parent = -1, first = -1, last = -1, next = -1;
        std::string name;
        std::string content;  // a file's bytes, a link's text
    };
    static constexpr int MAX_LINKS = 40;

    // Plain loops rather than the string classes' own members: those are
    // instrumented where they are expanded, and their comparison tracing
    // made the fake cost more than the discovery it serves.
    MEMSYSFS_NO_COVERAGE static bool same(const std::string& a, const char* b, std::size_t n) {
        if (a.size() != n) return false;
        const char* p = a.data();
        for (std::size_t i = 0; i < n; i++)
            if (p[i] != b[i]) return false;
        return true;
    }

    MEMSYSFS_NO_COVERAGE int child(int dir, const char* name, std::size_t n) const {
        for (int c = nodes_[dir].first; c >= 0; c = nodes_[c].next)
            if (same(nodes_[c].name, name, n)) return c;
        return -1;
    }

    // The node a path leads to from the folder `at`; -1 when there is none.
    MEMSYSFS_NO_COVERAGE int walk(int at, const char* p, const char* end, bool follow_last,
                                  int& links) const {
        if (p < end && *p == '/') at = ROOT;
        while (p < end) {
            const char* cut = p;
            while (cut < end && *cut != '/') cut++;
            const std::size_t n = static_cast<std::size_t>(cut - p);
            const char* part = p;
            p = cut < end ? cut + 1 : end;
            if (n == 0 || (n == 1 && part[0] == '.')) continue;
            if (nodes_[at].kind != folder) return -1;
            if (n == 2 && part[0] == '.' && part[1] == '.') {
                at = nodes_[at].parent;
                continue;
            }
            int next = child(at, part, n);
            if (next < 0) return -1;
            bool more = false;
            for (const char* q = p; q < end && !more; q++) more = *q != '/';
            if (nodes_[next].kind == symlink && (follow_last || more)) {
                if (++links > MAX_LINKS) return -1;
                const std::string& to = nodes_[next].content;
                next = walk(at, to.data(), to.data() + to.size(), true, links);
                if (next < 0) return -1;
            }
            at = next;
        }
        return at;
    }

    // What the layer asks for: counted when it strays, then resolved.
    MEMSYSFS_NO_COVERAGE int asked(const std::string& path, bool follow_last) {
        const char* p = path.data();
        const char* end = p + path.size();
        bool below =
            path.size() > 5 && p[0] == '/' && p[1] == 's' && p[2] == 'y' && p[3] == 's' && p[4] == '/';
        for (const char* q = p + 5; below && q <= end;) {
            const char* cut = q;
            while (cut < end && *cut != '/') cut++;
            const std::size_t n = static_cast<std::size_t>(cut - q);
            below = n > 0 && !(n == 1 && q[0] == '.') && !(n == 2 && q[0] == '.' && q[1] == '.');
            q = cut + 1;
        }
        if (!below) strayed++;
        int links = 0;
        return walk(ROOT, p, end, follow_last, links);
    }

    MEMSYSFS_NO_COVERAGE int put(Kind kind, int parent, const std::string& name, const std::string& content) {
        if (used_ == nodes_.size()) nodes_.emplace_back();
        Node& n = nodes_[used_];
        n.kind = kind;
        n.parent = parent;
        n.first = n.last = n.next = -1;
        n.name.assign(name);
        n.content.assign(content);
        return static_cast<int>(used_++);
    }

    std::vector<Node> nodes_;
    std::size_t used_ = 0;  // nodes_ beyond are spare
};

}  // namespace memsysfs

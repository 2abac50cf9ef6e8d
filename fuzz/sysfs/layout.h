// How a fuzz input describes sysfs trees, and how they are laid out in the
// fake kernel's tree. The seed generator writes inputs with `encode`.
//
// Input: one byte of shape, then entries of class/scsi_generic, each a byte
// of flags and seven texts, each ended by a NUL (which no name, link or
// text attribute of sysfs holds) or the input's end: the entry's name, its
// device link, and the device's type, vendor, model and rev attributes and
// a block node name. Ends rather than lengths, so that the fuzzer's
// insertions and removals change one text, not the layout of the rest.
//
// Shape, bits 0-1: class/scsi_generic is a folder, missing, a file, or a
// link to itself; bit 2: each entry is a link into devices/virtual/ (as the
// kernel lays them out) rather than a folder.
//
// Flags, bits 0-1: the entry is in the first tree, in the second; bits
// 2-3: its `device` is a link, a folder, missing, a file; bit 4: the link
// holds the text as it is, else "../../../devices/" before it; bit 5: the
// device has its attribute files; bit 6: it has a block/ folder with the
// block name; bit 7: the device folder is missing (the link dangles). The
// device folder is devices/ and the last part of the link's text.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "aspilinux/testing/fakekernel.h"

// The decoding and the laying out are no coverage for the fuzzer to chase.
#define LAYOUT_NO_COVERAGE __attribute__((no_sanitize("coverage")))

namespace layout {

enum : std::uint8_t {
    IN_FIRST = 1 << 0,
    IN_SECOND = 1 << 1,
    DEVICE_FOLDER = 1 << 2,
    DEVICE_MISSING = 2 << 2,
    DEVICE_FILE = 3 << 2,
    RAW_LINK = 1 << 4,
    ATTRIBUTES = 1 << 5,
    BLOCK = 1 << 6,
    DANGLING = 1 << 7,
};
enum : std::uint8_t {
    CLASS_MISSING = 1,
    CLASS_FILE = 2,
    CLASS_LOOP = 3,
    ENTRY_LINKS = 1 << 2,
};

struct Entry {
    std::uint8_t flags = IN_FIRST | IN_SECOND | ATTRIBUTES;
    std::string name, link, type, vendor, model, rev, block;
};

// Entries beyond these find nothing new (the adapters run out at 8) and
// only make each input slower as the fuzzer's inputs grow.
constexpr std::size_t MAX_ENTRIES = 40;

struct Input {
    std::uint8_t shape = 0;
    std::vector<Entry> entries;
};

LAYOUT_NO_COVERAGE inline Input decode(const std::uint8_t* data, std::size_t size) {
    Input in;
    std::size_t at = 0;
    auto text = [&](std::string& out) {
        std::size_t end = at;
        while (end < size && data[end] != 0) end++;
        out.assign(reinterpret_cast<const char*>(data + at), end - at);
        at = std::min(end + 1, size);
    };
    if (size > 0) in.shape = data[at++];
    while (at < size && in.entries.size() < MAX_ENTRIES) {
        Entry e;
        e.flags = data[at++];
        for (std::string* t : {&e.name, &e.link, &e.type, &e.vendor, &e.model, &e.rev, &e.block}) text(*t);
        in.entries.push_back(std::move(e));
    }
    return in;
}

inline std::string encode(const Input& in) {
    std::string out(1, static_cast<char>(in.shape));
    for (const Entry& e : in.entries) {
        out += static_cast<char>(e.flags);
        for (const std::string* t : {&e.name, &e.link, &e.type, &e.vendor, &e.model, &e.rev, &e.block}) {
            out += *t;
            out += '\0';
        }
    }
    return out;
}

// The link's text as laid out.
inline std::string link_text(const Entry& e) {
    return (e.flags & RAW_LINK) ? e.link : "../../../devices/" + e.link;
}

// Lays out the entries that have `which` (IN_FIRST or IN_SECOND).
LAYOUT_NO_COVERAGE inline void lay_out(aspilinux_fake::FakeKernel& t, const Input& in, std::uint8_t which) {
    using Tree = aspilinux_fake::FakeKernel;
    t.clear();
    int cls = t.add(Tree::SYS, Tree::folder, "class");
    int devices = t.add(Tree::SYS, Tree::folder, "devices");
    int virt = t.add(devices, Tree::folder, "virtual");
    int sg = -1;
    switch (in.shape & 3) {
    case 0: sg = t.add(cls, Tree::folder, "scsi_generic"); break;
    case CLASS_FILE: t.add(cls, Tree::file, "scsi_generic", "sg0\n"); break;
    case CLASS_LOOP: t.add(cls, Tree::symlink, "scsi_generic", "scsi_generic"); break;
    }
    for (const Entry& e : in.entries) {
        if (!(e.flags & which) || sg < 0) continue;
        int entry = -1;
        if (!(in.shape & ENTRY_LINKS))
            entry = t.add(sg, Tree::folder, e.name);
        else if (t.add(sg, Tree::symlink, e.name, "../../devices/virtual/" + e.name) >= 0)
            entry = t.add(virt, Tree::folder, e.name);
        if (entry < 0) continue;
        const std::string text = link_text(e);
        switch (e.flags & DEVICE_FILE) {
        case 0: t.add(entry, Tree::symlink, "device", text); break;
        case DEVICE_FOLDER: t.add(entry, Tree::folder, "device"); break;
        case DEVICE_FILE: t.add(entry, Tree::file, "device", text); break;
        }
        if (e.flags & DANGLING) continue;
        int dev = t.add(devices, Tree::folder, text.substr(text.find_last_of('/') + 1));
        if (e.flags & ATTRIBUTES) {
            t.add(dev, Tree::file, "type", e.type);
            t.add(dev, Tree::file, "vendor", e.vendor);
            t.add(dev, Tree::file, "model", e.model);
            t.add(dev, Tree::file, "rev", e.rev);
        }
        if (e.flags & BLOCK) t.add(t.add(dev, Tree::folder, "block"), Tree::folder, e.block);
    }
}

}  // namespace layout

// Seeds of fuzz_sysfs: trees as machines lay them out. Usage: seeds FOLDER
#include <string>

#include "fuzz/seeds.h"
#include "fuzz/sysfs/layout.h"

namespace {

using layout::Entry;

Entry drive(const std::string& sg, const std::string& hctl, int type, const std::string& model,
            const std::string& block = "", std::uint8_t flags = layout::IN_FIRST | layout::IN_SECOND) {
    Entry e;
    e.flags = flags | layout::ATTRIBUTES | (block.empty() ? 0 : layout::BLOCK);
    e.name = sg;
    e.link = hctl;
    e.type = std::to_string(type) + "\n";
    e.vendor = (type == 5 ? "DRAVLIN " : "ATA     ") + std::string("\n");
    e.model = model + "\n";
    e.rev = "1.00\n";
    e.block = block;
    return e;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    using namespace layout;
    const std::uint8_t first = IN_FIRST, second = IN_SECOND;

    seeds::write(argv[1], "sata",
                 encode({0,
                         {drive("sg0", "0:0:0:0", 0, "DISK ONE        ", "sda"),
                          drive("sg1", "1:0:0:0", 5, "CD-R   QV-G567L ", "sr0")}}));
    // As the kernel lays it out, a USB bridge with two LUNs; the second
    // drive comes with the second tree, a channel of another host leaves.
    seeds::write(argv[1], "usb",
                 encode({ENTRY_LINKS,
                         {drive("sg2", "7:0:0:0", 5, "CD-R   QV-G567L ", "sr1"),
                          drive("sg5", "7:0:0:1", 5, "CD-ROM QV-G253K ", "", second),
                          drive("sg1", "2:1:3:0", 5, "CD-ROM QV-G253K ", "", first)}}));
    Input many{0, {}};
    for (int host = 0; host < 10; host++)
        many.entries.push_back(drive("sg" + std::to_string(10 + host),
                                     std::to_string(3 * (9 - host)) + ":0:1" + std::to_string(host) + ":0", 5,
                                     "CD-ROM QV-B8NB  ", "", host % 3 ? first | second : second));
    seeds::write(argv[1], "many", encode(many));
    // What a node can lack: its device a folder, missing, a file, a link
    // that dangles, its attributes.
    Entry odd[] = {drive("sg0", "0:0:0:0", 5, "CD-R   QV-G567L "), drive("sg1", "0:0:1:0", 5, "X"),
                   drive("sg2", "0:0:2:0", 5, "X"), drive("sg3", "0:0:3:0", 5, "X"),
                   drive("sg4", "0:0:4:0", 5, "X")};
    odd[0].flags |= DEVICE_FOLDER;
    odd[1].flags |= DEVICE_MISSING;
    odd[2].flags |= DEVICE_FILE;
    odd[3].flags |= DANGLING;
    odd[4].flags &= static_cast<std::uint8_t>(~ATTRIBUTES);
    seeds::write(argv[1], "odd", encode({0, {std::begin(odd), std::end(odd)}}));
    seeds::write(argv[1], "loop", encode({CLASS_LOOP, {drive("sg0", "0:0:0:0", 5, "X")}}));
    return 0;
}

// Firmware image identification and checksum over the one copy of the image
// read from its file.
#include "fwimage/check.h"
#include "fwimage/fwtables.h"
#include "fwimage/imagefile.h"
#include "support/printf.h"
#include "tool/imagecheck.h"

std::optional<std::vector<unsigned char>> TakeUpgradeFile(fwimage::ImageFile f, const char* file) {
    if (f.status == fwimage::FileStatus::cannot_open) {
        sup::printf("\a%s %s\n", fwimage::verdict_text(fwimage::Verdict::unreadable), file);
        return std::nullopt;
    }
    if (f.status == fwimage::FileStatus::not_regular) {
        sup::printf("%s\n", fwimage::verdict_text(fwimage::Verdict::unknown));
        return std::nullopt;
    }
    return std::move(f.bytes);
}

int GetUpgradeInfo(bool debug, Image image) {
    int type = fwimage::identify(image);
    if (debug) sup::printf("Found drive type: %d\n", type);
    return type;
}

bool isValidUpgradeFile(bool debug, Image image, int type) {
    fwimage::Checksum c = fwimage::checksum(image, type);
    if (c.row == nullptr) return false;
    if (debug) {
        sup::printf("Checksum pos: 0x%lX\n", static_cast<long>(c.end));
        // An image that ends before its stored sum has none: 0.
        sup::printf("Checksum 0x%X should be 0x%X\n", unsigned{c.computed},
                    c.stored < 0 ? 0u : unsigned(c.stored));
    }
    return c.right();
}

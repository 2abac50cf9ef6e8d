// Firmware image identification and checksum over the one copy of the image
// read from its file.
#include "tool/imagecheck.h"

#include <cstring>
#include <string>

#include "fwimage/check.h"
#include "fwimage/fwtables.h"
#include "fwimage/imagefile.h"
#include "support/printf.h"

namespace {

// Why the image is refused, on standard error after the refusal itself.
void SayWhy(const char* file, const std::string& why) {
    sup::flush();
    sup::fprintf(stderr, "qvupdate: %s %s\n", file, why.c_str());
}

}  // namespace

std::optional<std::vector<unsigned char>> TakeUpgradeFile(fwimage::ImageFile f, const char* file) {
    if (f.status == fwimage::FileStatus::cannot_open) {
        sup::printf("\a%s %s\n", fwimage::verdict_text(fwimage::Verdict::unreadable), file);
        SayWhy(file, std::string("cannot be opened: ") + std::strerror(f.error));
        return std::nullopt;
    }
    if (f.status == fwimage::FileStatus::not_regular) {
        sup::printf("%s\n", fwimage::verdict_text(fwimage::Verdict::unknown));
        SayWhy(file, f.directory ? "is a directory" : "is not a regular file");
        return std::nullopt;
    }
    return std::move(f.bytes);
}

void SayWhyRefused(const char* file, long long size, Image image, int type) {
    std::string why;
    const fwimage::Checksum c = fwimage::checksum(image, type);
    char sums[96];
    if (type == NO_TYPE) {
        why = size == 0 ? "is empty" : "has no identity text of a Dravlin drive";
    } else if (!c.right()) {
        if (c.stored < 0)
            sup::zt_snprintf(sums, sizeof sums, "ends before its checksum");
        else
            sup::zt_snprintf(sums, sizeof sums,
                             "has a bad checksum: its bytes sum to 0x%04X, 0x%04X is stored",
                             unsigned{c.computed}, unsigned(c.stored));
        why = sums;
    } else {
        why = "is " + std::to_string(size) + " bytes, the transfer needs " +
              std::to_string(fwimage::needed_length(type));
    }
    SayWhy(file, why + " (qvimage info " + file + " tells more)");
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

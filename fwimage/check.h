// What an image is and whether it may be sent: pure functions over the bytes
// of an image held in memory. No file, no drive, no output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "fwimage/fwtables.h"

namespace fwimage {

using Span = std::span<const std::uint8_t>;

// True when the image holds the row's identity field, whole, at its offset.
bool holds_identity(Span image, const IdentityRow& row);
// The drive type of the first identity row the image holds, or -1.
int identify(Span image);

struct Checksum {
    const ChecksumRow* row = nullptr;  // null: the type has none, the rest is unset
    // Where the sum stops: the stored sum's offset, or the end of an image
    // that ends before it (never before the range's start).
    std::size_t end = 0;
    std::uint16_t computed = 0;  // the sum of the covered bytes the image holds
    int stored = -1;             // the big-endian stored sum; -1: the image ends before it
    bool right() const { return row != nullptr && stored == computed; }
};
Checksum checksum(Span image, int type);

// The bytes the transfer of a type sends from the image's start; 0 for a
// type without a transfer.
std::size_t needed_length(int type);
// True when the image holds every byte its transfer sends: the checksum of
// some types covers less.
bool complete(Span image, int type);

// The version field after the type's identity field: what a WRITE BUFFER
// drive that took the image reports as its INQUIRY revision. Cut where the
// image ends; empty for a type without an identity row.
Span version_field(Span image, int type);
// The bytes a loader-mode drive shows at FLASH_ID_AREA once its flash holds
// the image. Cut where the image ends.
Span flash_identity(Span image);

// The verdict on an image, in the words the update program prints; a file
// that cannot be opened has no image at all.
enum class Verdict { valid, unknown, bad_checksum, too_short, unreadable };
const char* verdict_text(Verdict verdict);
// The first fault in the order the update program checks them.
Verdict verdict(int type, bool checksum_right, bool complete);

// Everything there is to know about an image without a drive.
struct Report {
    int type = -1;
    std::string version;  // the bytes after the identity field, up to 4
    Checksum sum;
    std::size_t needed = 0;
    std::size_t unchecked = 0;  // bytes sent that neither the sum nor the stored sum covers
    Verdict verdict = Verdict::unknown;
};
Report examine(Span image);

}  // namespace fwimage

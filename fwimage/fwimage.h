// Builds firmware images the way the maker ships them, for tests and the
// demo: the identity field of the drive type at its offset, the 4-character
// version right after it, a deterministic filler and the big-endian checksum.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace fwimage {

struct Options {
    // The file length; unset means the length the transfer sends. A shorter
    // length cuts the full image (checksum and identity may be cut off too).
    std::optional<std::size_t> length;
    // Store the checksum off by one.
    bool bad_checksum = false;
};

enum : std::size_t { MAX_LENGTH = 64u << 20 };

// The length the transfer of the type sends (at least the checksum's end), or
// 0 for a type without an identity row.
std::size_t full_length(int type);

// Why `version` cannot go into an image of `type`, or empty. A version is 4
// bytes; the third character decides between types 12 and 17 on the drive,
// so a type 17 image needs "1" there and a type 12 image must not have it.
std::string version_error(int type, std::string_view version);

// Fills `out` with the image; returns an error text, empty on success.
std::string build(int type, std::string_view version, const Options& options, std::vector<std::uint8_t>& out);

// The sample file name of a type without ".bin": its model name in lower
// case without the dash ("qvg567l" for 13, "qvg253k" for 11), or empty for a
// type without an identity row.
std::string sample_name(int type);

// The version the sample image of a type carries.
std::string_view sample_version(int type);

}  // namespace fwimage

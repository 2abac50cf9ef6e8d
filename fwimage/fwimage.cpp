#include "fwimage/fwimage.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "fwimage/check.h"
#include "fwimage/fwtables.h"

namespace fwimage {

namespace {

// Byte ranges of an image that the builder has placed on purpose.
struct Placed {
    std::size_t begin, end;
    bool holds(std::size_t i) const { return i >= begin && i < end; }
};

// xorshift32, seeded from the type and the version, so that one
// (type, version) pair always gives the same bytes.
class Filler {
public:
    Filler(int type, std::string_view version) {
        std::uint32_t s = 0x9E3779B9u ^ static_cast<std::uint32_t>(type) * 0x85EBCA6Bu;
        for (unsigned char c : version) s = (s ^ c) * 0x01000193u;
        state_ = s ? s : 1;
    }
    std::uint8_t next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return static_cast<std::uint8_t>(state_ >> 24);
    }

private:
    std::uint32_t state_;
};

}  // namespace

std::size_t full_length(int type) {
    const IdentityRow* id = identity_row(type);
    if (id == nullptr) return 0;
    std::size_t n = static_cast<std::size_t>(id->offset + id->length + VERSION_LEN);
    n = std::max(n, needed_length(type));
    if (const ChecksumRow* c = checksum_row(type))
        n = std::max(n, static_cast<std::size_t>(c->stored_at + 2));
    return n;
}

std::string version_error(int type, std::string_view version) {
    if (version.size() != VERSION_LEN) return "the version must be 4 characters, e.g. 1.10";
    if (type == 17 && type_by_revision(12, version.data()) != 17)
        return "a type 17 image needs a version with 1 as its third character (e.g. 1.10)";
    if (type == 12 && type_by_revision(12, version.data()) != 12)
        return "a type 12 image cannot have 1 as the third character of its version: the drive would "
               "report itself as type 17 (use type 17)";
    return {};
}

std::string build(int type, std::string_view version, const Options& options,
                  std::vector<std::uint8_t>& out) {
    const IdentityRow* id = identity_row(type);
    if (id == nullptr) return "drive type " + std::to_string(type) + " has no image identity";
    if (std::string e = version_error(type, version); !e.empty()) return e;
    if (options.length && *options.length > MAX_LENGTH)
        return "the length must be at most " + std::to_string(MAX_LENGTH);

    std::size_t full = full_length(type);
    std::size_t length = options.length.value_or(full);
    std::vector<std::uint8_t> img(std::max(full, length));
    Filler fill(type, version);
    for (auto& b : img) b = fill.next();

    auto id_at = static_cast<std::size_t>(id->offset);
    auto id_len = static_cast<std::size_t>(id->length);
    std::memcpy(img.data() + id_at, id->text, id_len);
    std::memcpy(img.data() + id_at + id_len, version.data(), VERSION_LEN);
    const ChecksumRow* c = checksum_row(type);
    std::vector<Placed> placed = {{id_at, id_at + id_len + VERSION_LEN}};
    if (c)
        placed.push_back(
            {static_cast<std::size_t>(c->stored_at), static_cast<std::size_t>(c->stored_at + 2)});

    // The filler must not spell another type's identity where the tool looks
    // for it; break such a field at a byte the builder did not place.
    for (int r = 0; r < num_identity_rows; r++) {
        const IdentityRow& other = identity_rows[r];
        if (other.type == type || !holds_identity(img, other)) continue;
        for (auto i = static_cast<std::size_t>(other.offset);
             i < static_cast<std::size_t>(other.offset + other.length); i++) {
            if (std::none_of(placed.begin(), placed.end(), [i](const Placed& s) { return s.holds(i); })) {
                img[i] ^= 0x80;
                break;
            }
        }
    }

    if (c) {
        std::uint16_t sum = checksum(img, type).computed;
        if (options.bad_checksum) sum = static_cast<std::uint16_t>(sum + 1);
        img[static_cast<std::size_t>(c->stored_at)] = static_cast<std::uint8_t>(sum >> 8);
        img[static_cast<std::size_t>(c->stored_at) + 1] = static_cast<std::uint8_t>(sum & 0xFF);
    }
    img.resize(length);
    out = std::move(img);
    return {};
}

std::string sample_name(int type) {
    if (identity_row(type) == nullptr) return {};
    std::string name;
    for (char c : model_name(type))
        if (c != '-') name += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return name;
}

std::string_view sample_version(int type) { return type == 12 ? "1.06" : "1.10"; }

}  // namespace fwimage

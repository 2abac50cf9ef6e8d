#include "aspisim/device.h"

#include <algorithm>
#include <cstring>

#include "fwimage/fwimage.h"
#include "fwimage/fwtables.h"
#include "platform/aspi.h"

namespace aspisim {

namespace {

enum : std::uint8_t {
    OP_TEST_UNIT_READY = 0x00,
    OP_REQUEST_SENSE = 0x03,
    OP_INQUIRY = 0x12,
    OP_WRITE_BUFFER = 0x3B,
};

enum : std::size_t { INQUIRY_BYTES = 96 };
enum : std::uint32_t { DEFAULT_FLASH = MAX_IMAGE };

const char state_magic[8] = {'A', 'S', 'P', 'I', 'S', 'I', 'M', '1'};
constexpr std::size_t state_head = 8 + 16 + 4 + 4;

std::uint32_t be(const std::uint8_t* p, int n) {
    std::uint32_t v = 0;
    for (int i = 0; i < n; i++) v = v << 8 | p[i];
    return v;
}

// The image layout a device's flash follows: the drive type of its product
// (type 12 with a revision whose third character is "1" is type 17), or the
// loader mode's for a flash programmed directly.
int image_type(const DeviceConf& c) {
    int type = type_by_revision(product_type(c.product.data()), c.revision.data());
    if (identity_row(type) != nullptr) return type;
    return c.flash == Flash::rom ? LOADER_TYPE : -1;
}

}  // namespace

Device::Device(const DeviceConf& conf) : conf_(conf), revision_(conf.revision) {
    if (conf_.flash == Flash::none) return;
    int type = image_type(conf_);
    std::string version(conf_.revision.begin(), conf_.revision.end());
    // The flash starts out as an image of the model holding the configured
    // revision, so that reading its identity area shows that revision.
    if (type < 0 || !fwimage::build(type, version, {}, flash_).empty())
        flash_.assign(type < 0 ? std::size_t{DEFAULT_FLASH} : fwimage::full_length(type), 0xFF);
    if (const IdentityRow* id = identity_row(type))
        revision_at_ = static_cast<std::size_t>(id->offset + id->length);
}

std::vector<std::uint8_t> fixed_sense(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq) {
    std::vector<std::uint8_t> s(SENSE_BYTES, 0);
    s[0] = 0x70;  // current error, fixed format
    s[2] = key;
    s[7] = SENSE_BYTES - 8;
    s[12] = asc;
    s[13] = ascq;
    return s;
}

Outcome Device::check(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq) {
    pending_sense_ = fixed_sense(key, asc, ascq);
    return {SS_ERR, HASTAT_OK, 0x02, pending_sense_};
}

// The command wants to move more bytes than the request block offers; the
// adapter stops it before anything moves.
Outcome Device::overrun() const { return {SS_ERR, HASTAT_DO_DU, 0, {}}; }

void Device::reset() {
    staged_.clear();
    staged_pieces_.clear();
    pending_sense_.clear();
}

Outcome Device::execute(const std::uint8_t (&cdb)[16], std::uint8_t* buf, std::uint32_t buflen) {
    std::uint8_t op = cdb[0];
    // Sense data describes the command before; any other command ends it.
    if (op != OP_REQUEST_SENSE) pending_sense_.clear();
    switch (op) {
    case OP_TEST_UNIT_READY: return conf_.medium ? good() : check(0x02, 0x3A, 0x00);
    case OP_REQUEST_SENSE: return request_sense(cdb, buf, buflen);
    case OP_INQUIRY: return inquiry(cdb, buf, buflen);
    case OP_WRITE_BUFFER:
        if (conf_.flash == Flash::writebuffer) return write_buffer(cdb, buf, buflen);
        break;
    case OP_ERASE_ROM:
        if (conf_.flash == Flash::rom) {
            std::fill(flash_.begin(), flash_.end(), 0xFF);
            changed_ = true;
            return good();
        }
        break;
    case OP_WRITE_ROM:
        if (conf_.flash == Flash::rom) return write_rom(cdb, buf, buflen);
        break;
    case OP_READ_ROM:
        if (conf_.flash == Flash::rom) return read_rom(cdb, buf, buflen);
        break;
    default: break;
    }
    return check(0x05, 0x20, 0x00);
}

Outcome Device::inquiry(const std::uint8_t (&cdb)[16], std::uint8_t* buf, std::uint32_t buflen) {
    if (cdb[1] & 0x01) return check(0x05, 0x24, 0x00);  // no VPD pages
    std::uint8_t d[INQUIRY_BYTES] = {};
    d[0] = static_cast<std::uint8_t>(conf_.type & 0x1F);
    d[1] = conf_.type == 5 ? 0x80 : 0x00;  // CD drives have removable media
    d[2] = 0x02;                           // SCSI-2
    d[3] = 0x02;                           // response data format
    d[4] = INQUIRY_BYTES - 5;
    std::memcpy(d + 8, conf_.vendor.data(), 8);
    std::memcpy(d + 16, conf_.product.data(), 16);
    std::memcpy(d + 32, revision_.data(), 4);
    std::size_t n = std::min<std::size_t>({cdb[4], INQUIRY_BYTES, buflen});
    if (n) std::memcpy(buf, d, n);
    return good();
}

Outcome Device::request_sense(const std::uint8_t (&cdb)[16], std::uint8_t* buf, std::uint32_t buflen) {
    std::vector<std::uint8_t> s = pending_sense_;
    if (s.empty()) s = fixed_sense(0, 0, 0);
    pending_sense_.clear();
    std::size_t n = std::min<std::size_t>({cdb[4], s.size(), buflen});
    if (n) std::memcpy(buf, s.data(), n);
    return good();
}

Outcome Device::write_buffer(const std::uint8_t (&cdb)[16], const std::uint8_t* buf, std::uint32_t buflen) {
    std::uint8_t mode = cdb[1] & 0x1F;
    std::uint32_t offset = be(cdb + 3, 3), length = be(cdb + 6, 3);
    std::size_t size = flash_.size();
    if ((mode != WB_MODE_DOWNLOAD && mode != WB_MODE_SAVE) || cdb[2] != 0 || offset % WB_PIECE != 0 ||
        length != WB_PIECE || offset + length > size || (mode == WB_MODE_SAVE && offset + length != size))
        return check(0x05, 0x24, 0x00);
    if (length > buflen) return overrun();
    if (staged_.size() != size) {
        staged_.assign(size, 0);
        staged_pieces_.assign(size / WB_PIECE, false);
    }
    std::memcpy(staged_.data() + offset, buf, length);
    staged_pieces_[offset / WB_PIECE] = true;
    if (mode == WB_MODE_DOWNLOAD) return good();

    // The closing piece: only a complete image replaces the firmware, so a
    // download that lost a piece leaves the drive as it was.
    bool complete = std::all_of(staged_pieces_.begin(), staged_pieces_.end(), [](bool b) { return b; });
    if (complete) {
        flash_.swap(staged_);
        if (revision_at_ != 0 && revision_at_ + 4 <= flash_.size())
            std::memcpy(revision_.data(), flash_.data() + revision_at_, 4);
        changed_ = true;
    }
    staged_.clear();
    staged_pieces_.clear();
    return complete ? good() : check(0x05, 0x24, 0x00);
}

Outcome Device::write_rom(const std::uint8_t (&cdb)[16], const std::uint8_t* buf, std::uint32_t buflen) {
    std::uint32_t address = be(cdb + 2, 4), length = be(cdb + 6, 4);
    if (address % ROM_PIECE != 0 || length != ROM_PIECE || address > flash_.size() ||
        length > flash_.size() - address)
        return check(0x05, 0x24, 0x00);
    if (length > buflen) return overrun();
    // Programming flash only clears bits; a block that was not erased keeps
    // the old ones.
    for (std::uint32_t i = 0; i < length; i++) flash_[address + i] &= buf[i];
    changed_ = true;
    return good();
}

Outcome Device::read_rom(const std::uint8_t (&cdb)[16], std::uint8_t* buf, std::uint32_t buflen) {
    std::uint32_t address = be(cdb + 2, 4), length = be(cdb + 6, 4);
    if (address < FLASH_READ_BASE) return check(0x05, 0x24, 0x00);
    std::size_t at = address - FLASH_READ_BASE;
    if (at > flash_.size() || length > flash_.size() - at) return check(0x05, 0x24, 0x00);
    if (length > buflen) return overrun();
    if (length) std::memcpy(buf, flash_.data() + at, length);
    return good();
}

// magic (8) | product (16) | revision (4) | flash size (4, big-endian) | flash
std::vector<std::uint8_t> Device::save_state() const {
    // Sized once and filled in place: g++ -O3 takes the chain of inserts for
    // an out-of-bounds access (-Warray-bounds) that is not there.
    const std::size_t head = 8 + conf_.product.size() + revision_.size() + 4;
    std::vector<std::uint8_t> s(head + flash_.size());
    std::uint8_t* p = s.data();
    p = std::copy(state_magic, state_magic + 8, p);
    p = std::copy(conf_.product.begin(), conf_.product.end(), p);
    p = std::copy(revision_.begin(), revision_.end(), p);
    auto n = static_cast<std::uint32_t>(flash_.size());
    for (int shift = 24; shift >= 0; shift -= 8) *p++ = static_cast<std::uint8_t>(n >> shift);
    std::copy(flash_.begin(), flash_.end(), p);
    return s;
}

std::size_t Device::state_size() const { return state_head + flash_.size(); }

Outcome Device::roll_back(const std::vector<std::uint8_t>& saved) {
    load_state(saved);
    staged_.clear();
    staged_pieces_.clear();
    changed_ = false;
    return check(0x04, 0x44, 0x00);
}

bool Device::load_state(const std::vector<std::uint8_t>& s) {
    constexpr std::size_t head = state_head;
    if (s.size() < head || std::memcmp(s.data(), state_magic, 8) != 0 ||
        std::memcmp(s.data() + 8, conf_.product.data(), 16) != 0 || be(s.data() + 28, 4) != flash_.size() ||
        s.size() != head + flash_.size())
        return false;
    std::memcpy(revision_.data(), s.data() + 24, 4);
    std::copy(s.begin() + head, s.end(), flash_.begin());
    return true;
}

}  // namespace aspisim

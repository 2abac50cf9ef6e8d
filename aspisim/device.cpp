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
int image_type(const std::array<char, 16>& product, const std::array<char, 4>& revision, Flash kind) {
    int type = type_by_revision(product_type(product.data()), revision.data());
    if (identity_row(type) != nullptr) return type;
    return kind == Flash::rom ? LOADER_TYPE : -1;
}

// A restart's seconds on the layer's clock; bounded, so that no factor
// takes the time beyond what the clock holds.
Device::Clock::duration scaled(double seconds, double factor) {
    const double s = std::min(seconds * factor, 1e9);
    return std::chrono::duration_cast<Device::Clock::duration>(std::chrono::duration<double>(s));
}

}  // namespace

Device::Device(const DeviceConf& conf, double time_scale)
    : conf_(conf),
      time_scale_(time_scale),
      address_{conf.ha, conf.target},
      vendor_(conf.vendor),
      product_(conf.product),
      revision_(conf.revision),
      kind_(conf.flash) {
    lay_out();
}

void Device::lay_out() {
    flash_.clear();
    staged_.clear();
    staged_pieces_.clear();
    revision_at_ = 0;
    flash_size_ = 0;
    image_type_ = -1;
    if (kind_ == Flash::none) return;
    image_type_ = image_type(product_, revision_, kind_);
    flash_size_ = image_type_ < 0 ? std::size_t{DEFAULT_FLASH} : fwimage::full_length(image_type_);
    if (const IdentityRow* id = identity_row(image_type_))
        revision_at_ = static_cast<std::size_t>(id->offset + id->length);
}

const std::vector<std::uint8_t>& Device::flash() const {
    if (flash_.size() == flash_size_) return flash_;
    // The flash starts out as an image of the model holding the revision,
    // so that reading its identity area shows that revision.
    std::string version(revision_.begin(), revision_.end());
    if (image_type_ < 0 || !fwimage::build(image_type_, version, {}, flash_).empty() ||
        flash_.size() != flash_size_)
        flash_.assign(flash_size_, 0xFF);
    return flash_;
}

unsigned long Device::count(std::uint8_t opcode) {
    if (++commands_ == (conf_.swap ? conf_.swap->nth : 0)) swap_in(*conf_.swap);
    return ++counts_[opcode];
}

// The drive now at the address is another product, with a flash of its
// own: what the declared drive had, or staged, is not its.
void Device::swap_in(const SwapConf& s) {
    vendor_ = s.vendor.value_or(vendor_);
    product_ = s.product.value_or(product_);
    revision_ = s.revision.value_or(revision_);
    kind_ = default_flash(vendor_, product_);
    swapped_ = true;
    lay_out();
}

Outcome no_device() { return {SS_ERR, HASTAT_SEL_TO, 0, {}}; }

void Device::committed() {
    committed_ = true;
    old_revision_ = revision_;
}

void Device::after_command(Clock::time_point now) {
    if (!committed_) return;
    committed_ = false;
    if (conf_.restart) {
        restarting_ = true;
        restart_until_ = now + scaled(conf_.restart->seconds, time_scale_);
    } else if (conf_.moveto) {
        address_ = *conf_.moveto;
    }
}

void Device::settle(Clock::time_point now) {
    if (!restarting_ || now < restart_until_) return;
    restarting_ = false;
    unit_attention_ = true;
    if (conf_.moveto) address_ = *conf_.moveto;
}

bool Device::absent() const {
    return restarting_ && conf_.restart && conf_.restart->answer == RestartAnswer::none;
}

Outcome Device::restart_answer(const std::uint8_t (&cdb)[16], std::uint8_t* buf, std::uint32_t buflen) {
    if (absent()) return no_device();
    const bool old = conf_.restart && conf_.restart->answer == RestartAnswer::old;
    if (cdb[0] == OP_INQUIRY && old) return inquiry(cdb, buf, buflen, old_revision_);
    // REQUEST SENSE itself completes, with the sense of a drive not ready.
    if (cdb[0] == OP_REQUEST_SENSE) {
        pending_sense_ = fixed_sense(0x02, 0x04, 0x01);
        return request_sense(cdb, buf, buflen);
    }
    return check(0x02, 0x04, 0x01);
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
    // Power on, after a restart: reported once, by the first command that
    // is not merely asking.
    if (unit_attention_ && op != OP_INQUIRY && op != OP_REQUEST_SENSE) {
        unit_attention_ = false;
        return check(0x06, 0x29, 0x00);
    }
    switch (op) {
    case OP_TEST_UNIT_READY: return conf_.medium ? good() : check(0x02, 0x3A, 0x00);
    case OP_REQUEST_SENSE: return request_sense(cdb, buf, buflen);
    case OP_INQUIRY: return inquiry(cdb, buf, buflen, revision_);
    case OP_WRITE_BUFFER:
        if (kind_ == Flash::writebuffer) return write_buffer(cdb, buf, buflen);
        break;
    case OP_ERASE_ROM:
        if (kind_ == Flash::rom) {
            flash_.assign(flash_size_, 0xFF);
            changed_ = true;
            return good();
        }
        break;
    case OP_WRITE_ROM:
        if (kind_ == Flash::rom) return write_rom(cdb, buf, buflen);
        break;
    case OP_READ_ROM:
        if (kind_ == Flash::rom) return read_rom(cdb, buf, buflen);
        break;
    default: break;
    }
    return check(0x05, 0x20, 0x00);
}

Outcome Device::inquiry(const std::uint8_t (&cdb)[16], std::uint8_t* buf, std::uint32_t buflen,
                        const std::array<char, 4>& revision) {
    if (cdb[1] & 0x01) return check(0x05, 0x24, 0x00);  // no VPD pages
    std::uint8_t d[INQUIRY_BYTES] = {};
    d[0] = static_cast<std::uint8_t>(conf_.type & 0x1F);
    d[1] = conf_.type == 5 ? 0x80 : 0x00;  // CD drives have removable media
    d[2] = 0x02;                           // SCSI-2
    d[3] = 0x02;                           // response data format
    d[4] = INQUIRY_BYTES - 5;
    std::memcpy(d + 8, vendor_.data(), 8);
    std::memcpy(d + 16, product_.data(), 16);
    std::memcpy(d + 32, revision.data(), 4);
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
    const std::size_t size = flash_size_;
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
        committed();
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
    if (address % ROM_PIECE != 0 || length != ROM_PIECE || address > flash_size_ ||
        length > flash_size_ - address)
        return check(0x05, 0x24, 0x00);
    if (length > buflen) return overrun();
    flash();
    // Programming flash only clears bits; a block that was not erased keeps
    // the old ones.
    for (std::uint32_t i = 0; i < length; i++) flash_[address + i] &= buf[i];
    changed_ = true;
    if (cdb[1] == ROM_LAST) committed();
    return good();
}

Outcome Device::read_rom(const std::uint8_t (&cdb)[16], std::uint8_t* buf, std::uint32_t buflen) {
    std::uint32_t address = be(cdb + 2, 4), length = be(cdb + 6, 4);
    if (address < FLASH_READ_BASE) return check(0x05, 0x24, 0x00);
    std::size_t at = address - FLASH_READ_BASE;
    if (at > flash_size_ || length > flash_size_ - at) return check(0x05, 0x24, 0x00);
    if (length > buflen) return overrun();
    if (length) std::memcpy(buf, flash().data() + at, length);
    return good();
}

// magic (8) | product (16) | revision (4) | flash size (4, big-endian) | flash
std::vector<std::uint8_t> Device::save_state() const {
    // Sized once and filled in place: g++ -O3 takes the chain of inserts for
    // an out-of-bounds access (-Warray-bounds) that is not there.
    const std::vector<std::uint8_t>& f = flash();
    const std::size_t head = 8 + product_.size() + revision_.size() + 4;
    std::vector<std::uint8_t> s(head + f.size());
    std::uint8_t* p = s.data();
    p = std::copy(state_magic, state_magic + 8, p);
    p = std::copy(product_.begin(), product_.end(), p);
    p = std::copy(revision_.begin(), revision_.end(), p);
    auto n = static_cast<std::uint32_t>(f.size());
    for (int shift = 24; shift >= 0; shift -= 8) *p++ = static_cast<std::uint8_t>(n >> shift);
    std::copy(f.begin(), f.end(), p);
    return s;
}

std::size_t Device::state_size() const { return state_head + flash_size_; }

Outcome Device::roll_back(const std::vector<std::uint8_t>& saved) {
    if (saved.empty())
        start_over();
    else
        load_state(saved);
    staged_.clear();
    staged_pieces_.clear();
    changed_ = false;
    committed_ = false;  // nor does the drive restart with it
    return check(0x04, 0x44, 0x00);
}

void Device::start_over() {
    revision_ = conf_.revision;
    flash_.clear();
}

bool Device::load_state(const std::vector<std::uint8_t>& s) {
    constexpr std::size_t head = state_head;
    if (s.size() < head || std::memcmp(s.data(), state_magic, 8) != 0 ||
        std::memcmp(s.data() + 8, product_.data(), 16) != 0 || be(s.data() + 28, 4) != flash_size_ ||
        s.size() != head + flash_size_)
        return false;
    std::memcpy(revision_.data(), s.data() + 24, 4);
    flash_.assign(s.begin() + head, s.end());
    return true;
}

}  // namespace aspisim

#include "aspisim/bot.h"

#include <algorithm>

namespace aspisim::bot {

namespace {

// FunctionFS's own numbers (linux/usb/functionfs.h), and USB's.
enum : std::uint32_t {
    DESCRIPTORS_MAGIC_V2 = 3,
    STRINGS_MAGIC = 2,
    HAS_FS_DESC = 1,
    HAS_HS_DESC = 2,
    CBW_SIGNATURE = 0x43425355,  // "USBC"
    CSW_SIGNATURE = 0x53425355,  // "USBS"
};
enum : std::uint8_t {
    INTERFACE = 4,
    ENDPOINT = 5,
    MASS_STORAGE = 8,
    SCSI_TRANSPARENT = 6,
    BULK_ONLY = 0x50,
    BULK = 2,
    DIR_IN = 0x80,
    EP_IN = 1 | DIR_IN,
    EP_OUT = 2,
    // Class requests to the interface: host to device, and device to host.
    TO_INTERFACE = 0x21,
    FROM_INTERFACE = 0xA1,
    GET_MAX_LUN = 0xFE,
    RESET = 0xFF,
};
constexpr char interface_name[] = "Dravlin simulated drive";

void le(std::vector<std::uint8_t>& v, std::uint32_t x, int bytes) {
    for (int i = 0; i < bytes; i++) v.push_back(static_cast<std::uint8_t>(x >> (8 * i)));
}

std::uint32_t le_at(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
           std::uint32_t{p[3]} << 24;
}

// The interface and its two endpoints at one speed.
void speed(std::vector<std::uint8_t>& v, std::uint16_t max_packet) {
    v.insert(v.end(), {9, INTERFACE, 0, 0, 2, MASS_STORAGE, SCSI_TRANSPARENT, BULK_ONLY, 1});
    for (std::uint8_t ep : {EP_IN, EP_OUT}) {
        v.insert(v.end(), {7, ENDPOINT, ep, BULK});
        le(v, max_packet, 2);
        v.push_back(0);
    }
}

// The whole length into the header's second word.
std::vector<std::uint8_t> sized(std::vector<std::uint8_t> v) {
    const auto n = static_cast<std::uint32_t>(v.size());
    for (int i = 0; i < 4; i++) v[4 + i] = static_cast<std::uint8_t>(n >> (8 * i));
    return v;
}

}  // namespace

std::vector<std::uint8_t> descriptors() {
    std::vector<std::uint8_t> v;
    le(v, DESCRIPTORS_MAGIC_V2, 4);
    le(v, 0, 4);
    le(v, HAS_FS_DESC | HAS_HS_DESC, 4);
    le(v, 3, 4);  // descriptors at full speed
    le(v, 3, 4);  // and at high speed
    speed(v, 64);
    speed(v, 512);
    return sized(std::move(v));
}

std::vector<std::uint8_t> strings() {
    std::vector<std::uint8_t> v;
    le(v, STRINGS_MAGIC, 4);
    le(v, 0, 4);
    le(v, 1, 4);  // strings
    le(v, 1, 4);  // languages
    le(v, 0x0409, 2);
    v.insert(v.end(), interface_name, interface_name + sizeof interface_name);
    return sized(std::move(v));
}

Received receive(const std::uint8_t* b, std::size_t n) {
    Received r;
    if (n != CBW_BYTES) {
        r.why = "a command block wrapper of " + std::to_string(n) + " bytes";
        return r;
    }
    if (le_at(b) != CBW_SIGNATURE) {
        r.why = "a command block wrapper without its signature";
        return r;
    }
    r.valid = true;
    Cbw& c = r.cbw;
    c.tag = le_at(b + 4);
    c.length = le_at(b + 8);
    c.in = (b[12] & DIR_IN) != 0;
    c.lun = b[13] & 0x0F;
    c.cdb_len = std::min<std::size_t>(b[14] & 0x1F, sizeof c.cdb);
    std::copy(b + 15, b + 15 + c.cdb_len, c.cdb);
    if ((b[12] & ~DIR_IN) != 0 || (b[13] & 0xF0) != 0 || (b[14] & 0xE0) != 0)
        r.why = "reserved bits set";
    else if (c.lun != 0)
        r.why = "logical unit " + std::to_string(c.lun);
    else if (c.cdb_len == 0 || (b[14] & 0x1F) > sizeof c.cdb)
        r.why = "a command block of " + std::to_string(b[14] & 0x1F) + " bytes";
    else if (c.length > MAX_TRANSFER)
        r.why = "a transfer of " + std::to_string(c.length) + " bytes";
    r.meaningful = r.why.empty();
    return r;
}

Ending ending(const Cbw& c, const Answer& a, std::uint32_t max_packet) {
    Ending e;
    e.status = a.status == 0 ? CswStatus::passed : CswStatus::failed;
    const std::uint32_t resid = std::min(a.resid, c.length);
    if (!c.in) {
        e.residue = resid;
        return e;
    }
    // A failed command moves no data.
    e.send = e.status == CswStatus::passed ? c.length - resid : 0;
    e.residue = c.length - e.send;
    e.halt = e.send < c.length && e.send % max_packet == 0;
    return e;
}

Ending refused(const Cbw& c) { return {0, c.length > 0, CswStatus::phase_error, c.length}; }

std::array<std::uint8_t, CSW_BYTES> csw(std::uint32_t tag, const Ending& e) {
    std::vector<std::uint8_t> v;
    le(v, CSW_SIGNATURE, 4);
    le(v, tag, 4);
    le(v, e.residue, 4);
    v.push_back(static_cast<std::uint8_t>(e.status));
    std::array<std::uint8_t, CSW_BYTES> out{};
    std::copy(v.begin(), v.end(), out.begin());
    return out;
}

Control control(const Request& s) {
    if (s.request_type == FROM_INTERFACE && s.request == GET_MAX_LUN && s.value == 0 && s.length >= 1)
        return Control::max_lun;
    if (s.request_type == TO_INTERFACE && s.request == RESET && s.value == 0 && s.length == 0)
        return Control::reset;
    return Control::stall;
}

}  // namespace aspisim::bot

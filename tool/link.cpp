// The run's link to its drives over the transport library and the drive
// command layer.
#include "tool/link.h"

#include <cerrno>
#include <string>

#include "drivecmd/commands.h"
#include "fwimage/fwtables.h"
#include "support/utils.h"

namespace {

constexpr int kTimeout = 300;  // seconds; erasing and flashing take long
constexpr long kWantedBuffer = 40000;
// The transfers move their pieces through the buffer.
constexpr long kLeastBuffer = ROM_PIECE;
constexpr int kSectorSize = 2048;

// The layer's entries are C functions: ASPI_CALL, the layer's calling
// convention, is every compiler's default for them.
template <class F>
void Entry(SCSI* scgp, F& into, const char* name) {
    into = reinterpret_cast<F>(scg_layer_entry(scgp, name));
}

}  // namespace

Link::~Link() {
    if (scgp_ != nullptr) scg_close(scgp_);
}

std::optional<RunEnd> Link::open(const char* devtext) {
    char errtext[80] = "";
    scgp_ = scg_open(devtext, errtext, sizeof errtext, 0, 1);
    if (scgp_ == nullptr) {
        const int err = errno;
        const std::string why =
            std::string(errtext) + (errtext[0] ? ". " : "") + "Cannot open SCSI driver.\n";
        // An ASPI layer that could not be loaded or refused to start has
        // said why; no error number applies, and none is shown or returned.
        if (err == 0) return RunEnd(1, why);
        return RunEnd(err, why, true);
    }
    // Before any command reaches a drive.
    Entry(scgp_, layer_.log_to, "ASPILogTo");
    Entry(scgp_, layer_.record_to, "ASPIRecordTo");
    Entry(scgp_, layer_.device_name, "aspilinux_device_name");
    Entry(scgp_, layer_.device_address, "aspilinux_device_address");
    Entry(scgp_, layer_.time_scale, "aspisim_time_scale");

    scg_settimeout(scgp_, kTimeout);
    scgp_->verbose = 0;
    scgp_->debug_level = 0;
    scgp_->capacity_data[1] = kSectorSize;
    return std::nullopt;
}

std::optional<RunEnd> Link::make_buffer() {
    const long size = scg_bufsize(scgp_, kWantedBuffer);
    if (size < kLeastBuffer) return RunEnd(-1, "Cannot get sufficient memory for DMA\n", true);
    buffer_ = static_cast<unsigned char*>(scg_getbuf(scgp_, size));
    if (buffer_ == nullptr) return RunEnd(errno, "Cannot get SCSI I/O buffer.\n", true);
    buffer_size_ = size;
    sup::fillbytes(buffer_, static_cast<int>(size), 0);
    return std::nullopt;
}

Address Link::address() const { return {scgp_->scsibus, scgp_->target, scgp_->lun}; }

bool Link::select_name(const char* name) {
    int ha = 0, id = 0, lun = 0;
    if (layer_.device_address == nullptr || layer_.device_address(name, &ha, &id, &lun) != 1) return false;
    scg_settarget(scgp_, ha, id, lun);
    return true;
}

double Link::time_scale() const {
    const double scale = layer_.time_scale != nullptr ? layer_.time_scale() : 1.0;
    return scale > 0 ? scale : 1.0;
}

bool Link::have_bus(int bus) const { return scg_havebus(scgp_, bus) != 0; }
DriveTable Link::scsi_device(std::uint8_t nhost) { return ::scsi_device(scgp_, nhost); }

Reply Link::test_unit_ready_at(Drive at) { return ::test_unit_ready_at(scgp_, at); }
Reply Link::inquiry_at(Drive at, unsigned char* buf, int cnt) { return ::inquiry_at(scgp_, at, buf, cnt); }
Reply Link::write_buffer_at(Drive at, int mode, int bufid, long offset, long length, void* data) {
    return ::write_buffer_at(scgp_, at, mode, bufid, offset, length, data);
}
Reply Link::erase_rom_at(Drive at) { return ::erase_rom_at(scgp_, at); }
Reply Link::write_rom_at(Drive at, int control, long addr, long length, void* data) {
    return ::write_rom_at(scgp_, at, control, addr, length, data);
}
Reply Link::read_rom_at(Drive at, long addr, long length, void* data) {
    return ::read_rom_at(scgp_, at, addr, length, data);
}

int Link::sense_code() const { return scg_sense_code(scgp_); }
int Link::resid() const { return scg_getresid(scgp_); }

void Link::report_failure() {
    const int silent = scgp_->silent;
    scgp_->silent = 0;
    scg_vtail(scgp_);
    scg_errflush(scgp_);
    scgp_->silent = silent;
}

bool Link::silenced() const { return scgp_->silent > 0; }

Link::Quiet::Quiet(Link& link) : link_(link) { link_.scgp_->silent++; }
Link::Quiet::~Quiet() { link_.scgp_->silent--; }

// The run's link to its drives: the one transport handle of the run, its I/O
// buffer and what the loaded ASPI layer offers beyond ASPI. The tool reaches
// the transport library and the drive commands through it alone; only
// link.cpp includes their headers.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "drivecmd/drive.h"
#include "tool/runend.h"

struct SCSI;

// What the loaded ASPI layer offers beyond ASPI, looked up by name; null
// where it lacks an entry.
struct LayerEntries {
    // The command log to a file: 1 when it is open.
    int (*log_to)(const char* path) = nullptr;
    // The transcript of every command to a new file, with the program's name
    // and version in its head: 1 when it is made.
    int (*record_to)(const char* path, const char* program) = nullptr;
    // "/dev/sgN (H:C:T:L)" of an address, as snprintf fills a buffer; -1
    // when nothing is there.
    int (*device_name)(int ha, int target, int lun, char* text, int size) = nullptr;
    // The address of a kernel name (/dev/sgN, H:C:T:L): 1 when found.
    int (*device_address)(const char* name, int* ha, int* target, int* lun) = nullptr;
    // The factor of a simulated layer on the waits; null for a real one.
    double (*time_scale)() = nullptr;
};

// A bus, target and logical unit; -1 each where none was given.
struct Address {
    int bus = -1;
    int target = -1;
    int lun = -1;
};

class Link {
public:
    Link() = default;
    // Closes the handle; a run that ends leaves that to its end.
    ~Link();
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    // Opens the transport on the address text (null: none; a kernel name is
    // the layer's to resolve, see select_name), with the tool's defaults.
    // What ends the run, said or to be said, when it fails.
    std::optional<RunEnd> open(const char* devtext);
    // Gets the I/O buffer, all zero; what ends the run when it cannot.
    std::optional<RunEnd> make_buffer();
    // The address the text gave (or select_name found).
    Address address() const;
    // Selects the drive the loaded layer knows by a kernel name; false when
    // it knows none by that name.
    bool select_name(const char* name);
    const LayerEntries& layer() const { return layer_; }
    // The factor on the run's waits: the simulated layer's, else 1.
    double time_scale() const;

    // The buffer that pieces and reads go through, at least ROM_PIECE bytes.
    std::span<unsigned char> buffer() const { return {buffer_, static_cast<std::size_t>(buffer_size_)}; }

    bool have_bus(int bus) const;
    DriveTable scsi_device(std::uint8_t nhost);

    // The drive commands (drivecmd/commands.h), on this link's handle.
    Reply test_unit_ready_at(Drive at);
    Reply inquiry_at(Drive at, unsigned char* buf, int cnt);
    Reply write_buffer_at(Drive at, int mode, int bufid, long offset, long length, void* data);
    Reply erase_rom_at(Drive at);
    Reply write_rom_at(Drive at, int control, long addr, long length, void* data);
    Reply read_rom_at(Drive at, long addr, long length, void* data);

    // What the last command left: its additional sense code (0 when it
    // succeeded), the bytes it did not move.
    int sense_code() const;
    int resid() const;
    // The report of the last command, as the transport makes it for a
    // command that failed and was not silenced.
    void report_failure();

    // Whether a Quiet lives.
    bool silenced() const;
    // The transport handle, for tests of what the link set on it.
    SCSI* handle() const { return scgp_; }

    // While one lives, commands fail without a report: probes, and commands
    // whose report must wait.
    class Quiet {
    public:
        explicit Quiet(Link& link);
        ~Quiet();
        Quiet(const Quiet&) = delete;
        Quiet& operator=(const Quiet&) = delete;

    private:
        Link& link_;
    };

private:
    SCSI* scgp_ = nullptr;
    unsigned char* buffer_ = nullptr;
    long buffer_size_ = 0;
    LayerEntries layer_;
};

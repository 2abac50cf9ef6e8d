// A virtual device on the simulated bus: answers the commands a drive of the
// maker receives from the update tool, keeps its flash and revision.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

#include "aspisim/busconf.h"
#include "fwimage/fwtables.h"

namespace aspisim {

// How a command ended, in the terms of an ASPI request block.
struct Outcome {
    std::uint8_t status;    // SRB_Status
    std::uint8_t hastat;    // SRB_HaStat
    std::uint8_t targstat;  // SRB_TargStat
    std::vector<std::uint8_t> sense;
};

enum : std::uint32_t {
    SENSE_BYTES = 18,  // fixed format sense data
};

// Fixed-format sense data of SENSE_BYTES bytes.
std::vector<std::uint8_t> fixed_sense(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq);

class Device {
public:
    explicit Device(const DeviceConf& conf);

    const DeviceConf& conf() const { return conf_; }

    // Runs one command. Reads or writes at most `buflen` bytes of `buf`.
    Outcome execute(const std::uint8_t (&cdb)[16], std::uint8_t* buf, std::uint32_t buflen);

    // A bus device reset: staged download pieces and pending sense are gone.
    void reset();

    // A command ended with a check condition the bus made up: REQUEST SENSE
    // then reports these bytes.
    void set_pending_sense(const std::vector<std::uint8_t>& sense) { pending_sense_ = sense; }

    // Counts the commands with one opcode; the first is 1.
    unsigned long count(std::uint8_t opcode) { return ++counts_[opcode]; }

    // The revision that INQUIRY reports.
    const std::array<char, 4>& revision() const { return revision_; }
    const std::vector<std::uint8_t>& flash() const { return flash_; }

    // True once after the flash or revision changed.
    bool take_changed() {
        bool c = changed_;
        changed_ = false;
        return c;
    }

    // The persistent state as bytes, and back. load_state refuses bytes of
    // another product or flash size and leaves the device unchanged.
    std::vector<std::uint8_t> save_state() const;
    bool load_state(const std::vector<std::uint8_t>& bytes);
    // The length of save_state's bytes.
    std::size_t state_size() const;
    // A change that could not be kept: back to `saved` (save_state's bytes),
    // and the command ends as a hardware error, so that the caller never
    // sees a commit the drive did not keep.
    Outcome roll_back(const std::vector<std::uint8_t>& saved);

private:
    Outcome good() const { return {0x01, 0, 0, {}}; }
    Outcome check(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq);
    Outcome overrun() const;
    Outcome inquiry(const std::uint8_t (&cdb)[16], std::uint8_t* buf, std::uint32_t buflen);
    Outcome request_sense(const std::uint8_t (&cdb)[16], std::uint8_t* buf, std::uint32_t buflen);
    Outcome write_buffer(const std::uint8_t (&cdb)[16], const std::uint8_t* buf, std::uint32_t buflen);
    Outcome write_rom(const std::uint8_t (&cdb)[16], const std::uint8_t* buf, std::uint32_t buflen);
    Outcome read_rom(const std::uint8_t (&cdb)[16], std::uint8_t* buf, std::uint32_t buflen);

    DeviceConf conf_;
    std::array<char, 4> revision_;
    std::vector<std::uint8_t> flash_;
    std::size_t revision_at_ = 0;  // where an image holds its version; 0: nowhere
    std::vector<std::uint8_t> staged_;
    std::vector<bool> staged_pieces_;
    std::vector<std::uint8_t> pending_sense_;
    std::map<std::uint8_t, unsigned long> counts_;
    bool changed_ = false;
};

}  // namespace aspisim

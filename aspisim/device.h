// A virtual device on the simulated bus: answers the commands a drive of the
// maker receives from the update tool, keeps its flash and revision.
#pragma once

#include <array>
#include <chrono>
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
    // Bytes a command that completed did not move; the model moves all.
    std::uint32_t resid = 0;
};

enum : std::uint32_t {
    SENSE_BYTES = 18,  // fixed format sense data
};

// Fixed-format sense data of SENSE_BYTES bytes.
std::vector<std::uint8_t> fixed_sense(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq);

// What an address without a device answers: the adapter's selection time-out.
Outcome no_device();

class Device {
public:
    using Clock = std::chrono::steady_clock;

    // `time_scale` is the layer's factor on the seconds of a restart, the
    // one the program's waits are given, so that both agree on the time.
    explicit Device(const DeviceConf& conf, double time_scale = 1.0);

    // As declared: its state and its faults stay at its declared address.
    const DeviceConf& conf() const { return conf_; }
    // Where it answers: its declared address, or where it moved to.
    Address address() const { return address_; }

    // Runs one command. Reads or writes at most `buflen` bytes of `buf`.
    Outcome execute(const std::uint8_t (&cdb)[16], std::uint8_t* buf, std::uint32_t buflen);

    // A bus device reset: staged download pieces and pending sense are gone.
    void reset();

    // A command ended with a check condition the bus made up: REQUEST SENSE
    // then reports these bytes.
    void set_pending_sense(const std::vector<std::uint8_t>& sense) { pending_sense_ = sense; }

    // Counts a command with `opcode` (the first is 1) among all commands
    // the device received, at whose declared count it is swapped.
    unsigned long count(std::uint8_t opcode);
    // Another drive now answers at its address (swap): its changes are
    // never the declared drive's to keep.
    bool swapped() const { return swapped_; }

    // The revision that INQUIRY reports.
    const std::array<char, 4>& revision() const { return revision_; }
    // Made when first asked for: most drives of a bus are only listed.
    const std::vector<std::uint8_t>& flash() const;

    // True once after the flash or revision changed, and the change is the
    // declared drive's.
    bool take_changed() {
        bool c = changed_ && !swapped_;
        changed_ = false;
        return c;
    }
    // Whether it has a state a state folder keeps.
    bool keeps_state() const { return conf_.flash != Flash::none && !swapped_; }

    // After a command that ran at `now`: an image it committed restarts the
    // drive (restart), or moves it (moveto) when it has no restart.
    void after_command(Clock::time_point now);
    // Ends a restart whose time is up at `now`: the drive moves, if it is
    // to, and its next command but INQUIRY and REQUEST SENSE ends in UNIT
    // ATTENTION.
    void settle(Clock::time_point now);
    bool restarting() const { return restarting_; }
    // Restarting and answering as an empty address.
    bool absent() const;
    // How the restarting drive answers a command.
    Outcome restart_answer(const std::uint8_t (&cdb)[16], std::uint8_t* buf, std::uint32_t buflen);

    // The persistent state as bytes, and back. load_state refuses bytes of
    // another product or flash size and leaves the device unchanged.
    std::vector<std::uint8_t> save_state() const;
    bool load_state(const std::vector<std::uint8_t>& bytes);
    // Back to the state it started in, as nothing saved.
    void start_over();
    // The length of save_state's bytes.
    std::size_t state_size() const;
    // A change that could not be kept: back to `saved` (save_state's bytes,
    // none for the state it started in),
    // and the command ends as a hardware error, so that the caller never
    // sees a commit the drive did not keep.
    Outcome roll_back(const std::vector<std::uint8_t>& saved);

private:
    Outcome good() const { return {0x01, 0, 0, {}}; }
    Outcome check(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq);
    Outcome overrun() const;
    Outcome inquiry(const std::uint8_t (&cdb)[16], std::uint8_t* buf, std::uint32_t buflen,
                    const std::array<char, 4>& revision);
    Outcome request_sense(const std::uint8_t (&cdb)[16], std::uint8_t* buf, std::uint32_t buflen);
    Outcome write_buffer(const std::uint8_t (&cdb)[16], const std::uint8_t* buf, std::uint32_t buflen);
    Outcome write_rom(const std::uint8_t (&cdb)[16], const std::uint8_t* buf, std::uint32_t buflen);
    Outcome read_rom(const std::uint8_t (&cdb)[16], std::uint8_t* buf, std::uint32_t buflen);
    // The flash layout of the product it is now.
    void lay_out();
    void committed();
    void swap_in(const SwapConf& s);

    DeviceConf conf_;
    double time_scale_;
    Address address_;
    std::array<char, 8> vendor_;
    std::array<char, 16> product_;
    std::array<char, 4> revision_;
    Flash kind_;
    int image_type_ = -1;
    std::size_t flash_size_ = 0;
    mutable std::vector<std::uint8_t> flash_;  // empty until made
    std::size_t revision_at_ = 0;              // where an image holds its version; 0: nowhere
    std::vector<std::uint8_t> staged_;
    std::vector<bool> staged_pieces_;
    std::vector<std::uint8_t> pending_sense_;
    std::map<std::uint8_t, unsigned long> counts_;
    unsigned long commands_ = 0;
    bool changed_ = false;
    bool swapped_ = false;
    bool committed_ = false;  // by the command that just ran
    bool restarting_ = false;
    Clock::time_point restart_until_;
    std::array<char, 4> old_revision_{};  // before the last commit
    bool unit_attention_ = false;
};

}  // namespace aspisim

// The command ring of the kernel's user-space SCSI backstore
// (target_core_user): the kernel puts each SCSI command into a ring in the
// memory it shares through /dev/uioN, and the handler answers in place.
// Everything here works on the shared area alone, so that a test can play
// the kernel's part.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "aspisim/serving.h"

namespace aspisim::tcmu {

// Where a piece of a command's data lies in the shared area.
struct Segment {
    std::size_t offset = 0;
    std::size_t length = 0;
};

// One SCSI command taken from the ring.
struct Command {
    std::uint16_t id = 0;
    // As many bytes as the operation code's group has; the kernel passes no
    // more, so the rest are 0.
    std::uint8_t cdb[16] = {};
    std::size_t cdb_len = 0;
    // The initiator's data for a command that sends some; the room for the
    // answer of one that reads. Both directions look alike in the ring.
    std::vector<std::uint8_t> data;
    std::vector<Segment> segments;
};

// The bytes of a CDB with this operation code, as the kernel counts them.
std::size_t cdb_length(std::uint8_t opcode);

class Ring {
public:
    Ring(std::uint8_t* area, std::size_t size) : area_(area), size_(size) {}

    // Empty when the area holds a ring this handler can serve, else why not:
    // commands that never complete need the kernel to take answers in any
    // order.
    std::string check();

    // The next command the kernel put in that was not taken yet; nothing
    // when there is none, or when the ring is broken().
    std::optional<Command> take();

    // Answers a taken command: its data goes back to its segments, the status
    // and sense into the oldest ring slot not yet answered, under the
    // command's id (the kernel finds a command by id, not by slot). A command
    // never answered holds no slot that a later answer needs.
    void answer(const Command& c, const Answer& a);

    // Why the ring cannot be read any further; empty while it can.
    const std::string& broken() const { return broken_; }

private:
    template <class T>
    T get(std::size_t at) const;
    template <class T>
    void put(std::size_t at, T v);
    std::uint32_t load(std::size_t at) const;
    void store(std::size_t at, std::uint32_t v);
    std::uint32_t entry_length(std::uint32_t at) const;
    std::uint32_t entry_kind(std::uint32_t at) const;
    std::optional<Command> read_command(std::uint32_t at, std::uint32_t len);

    std::uint8_t* area_;
    std::size_t size_;
    std::uint32_t ring_off_ = 0;
    std::uint32_t ring_size_ = 0;
    std::uint32_t next_ = 0;  // the first slot not taken
    std::string broken_;
};

}  // namespace aspisim::tcmu

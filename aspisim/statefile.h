// The state folder of the simulated drives: files read without trusting
// what sits at their names, saved so that a reader sees the old state or the
// new one, and one lock per drive, as a real host gives a device to one
// process at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "aspisim/device.h"

namespace aspisim {

// Makes the folder when it is missing and proves that a file can be
// created in it. Empty when it can hold states, else what is wrong.
std::string prepare_state_folder(const std::string& dir);

enum class LoadResult { missing, loaded, refused };

// Reads a state file of at most `limit` bytes. Links are not followed, and
// anything but a regular file is refused without being read; `why` then
// says what is wrong.
LoadResult load_state_file(const std::string& path, std::size_t limit, std::vector<std::uint8_t>& out,
                           std::string& why);

// Writes bytes to a temporary file of a name of its own, created beside
// path without following links, and renames it over path. Empty on success,
// else what failed; path is then as it was.
std::string save_state_file(const std::string& path, const std::vector<std::uint8_t>& bytes);

// An exclusive lock on one drive, held by this process until it ends (the
// system drops it then, whatever the end). Taken only while lock_path
// still names the locked file: one removed or replaced in between is
// locked afresh.
enum class LockResult { taken, busy, failed };
LockResult lock_drive(const std::string& lock_path, int& fd, std::string& why);

// The state folder of one process's bus: haH-tT.state and haH-tT.lock per
// drive. Problems are said through `report`, one line each.
class StateFolder {
public:
    using Report = std::function<void(const std::string& line)>;
    explicit StateFolder(Report report) : report_(report) {}
    ~StateFolder();
    StateFolder(const StateFolder&) = delete;
    StateFolder& operator=(const StateFolder&) = delete;

    // Takes the folder for `count` devices; false when it cannot hold states.
    bool open(const std::string& dir, std::size_t count);
    bool enabled() const { return !dir_.empty(); }

    // Loads the saved state of device `index`; false when it is refused.
    bool load(std::size_t index, Device& d);
    // The drive for this process: its lock, and its state read afresh once
    // taken (another process may have changed it). Asked before every
    // command: a lock file removed or replaced since it was taken is taken
    // again, so two processes never both hold a drive. Not mine while
    // another process holds it, or when it cannot be locked.
    enum class Claim { mine, in_use, unavailable };
    Claim claim(std::size_t index, Device& d);
    // Saves a changed state. When that fails the device goes back to the
    // state last kept and the outcome becomes a hardware error.
    void save(std::size_t index, Device& d, Outcome& o);

private:
    struct Drive {
        int lock_fd = -1;
        bool said = false;               // the in-use line was printed
        bool refused = false;            // its state was refused once locked
        std::vector<std::uint8_t> kept;  // the state as the folder holds it; none: nothing saved
        std::vector<std::uint8_t> read;  // the last file read, its room kept for the next
    };
    std::string path(const Device& d, const char* suffix) const;

    Report report_;
    std::string dir_;
    std::vector<Drive> drives_;
};

}  // namespace aspisim

// Internals of the ASPI transport (scsi-wnt.cpp) that its tests reach
// directly. Everything else goes through scg_std_ops.
#pragma once

#include <cstdint>

#include "platform/aspi.h"
#include "scg/scg.h"

namespace scg_wnt {

// Maps the completion status of a failed request block to the record's
// error class and system error number.
void set_error(const SRB_ExecSCSICmd* s, struct scg_cmd* sp);

// Hands the request block's sense bytes and target status to the record.
void copy_sensedata(const SRB_ExecSCSICmd* s, struct scg_cmd* sp);

// The event wait for a command time-out of `seconds`: seconds times 1000
// times the layer's `scale` (1 unless positive and finite), never
// negative, never past the longest finite wait.
std::uint32_t wait_millis(int seconds, double scale = 1.0);

// Host adapter inquiry into the caller's block; 0 when ASPI completed it.
int ha_inquiry(SCSI* scgp, int id, SRB_HAInquiry* ip);

// Asks ASPI to abort a request in flight; 1 when ASPI confirmed it.
int scsiabort(SCSI* scgp, SRB_ExecSCSICmd* sp);

// The ASPI layer as the process holds it: the library, its five entry
// points, the number of host adapters it reported, and whether the exit
// handler that unloads it is registered. There is one, aspi_library().
class AspiLibrary {
public:
    // Loads WNASPI32 from beside the program, else from ../lib/qvupdate
    // beside it, and counts its host adapters, once; true on success.
    // Failures are reported on the handle's error stream, errno 0.
    bool load(SCSI* scgp);
    // Drops the entry points and closes the library; the adapter count and
    // the exit registration stay.
    void unload();
    // As unload, and forgets the adapter count: the state of a process
    // that never loaded the library (the registration cannot be undone).
    void reset();
    // Registers handler with atexit, once per process.
    void register_exit(void (*handler)());

    bool loaded() const { return loaded_; }
    int busses() const { return busses_; }
    // Whether the adapter said that it reports residual counts.
    bool residual(int bus) const { return bus >= 0 && bus < kMaxBusses && residual_[bus]; }
    // The factor on command waits that the layer asks for: a simulated
    // layer's own (aspisim_time_scale), 1 for any other.
    double time_scale() const { return time_scale_; }
    // An entry point of the loaded layer by name; null when none or not loaded.
    void* entry(const char* name) const;
    // Only while loaded.
    DWORD send(void* srb) const { return send_(srb); }

private:
    template <class F>
    F lookup(const char* name) const;

    void* handle_ = nullptr;
    bool loaded_ = false;
    GetASPI32SupportInfo_t support_info_ = nullptr;
    SendASPI32Command_t send_ = nullptr;
    GetASPI32Buffer_t get_buffer_ = nullptr;
    FreeASPI32Buffer_t free_buffer_ = nullptr;
    TranslateASPI32Address_t translate_address_ = nullptr;
    double time_scale_ = 1.0;
    int busses_ = 0;
    static constexpr int kMaxBusses = 256;
    bool residual_[kMaxBusses] = {};
    bool exit_registered_ = false;
};

AspiLibrary& aspi_library();

}  // namespace scg_wnt

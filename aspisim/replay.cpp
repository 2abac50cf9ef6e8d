#include "aspisim/replay.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <thread>

#include "aspihost/transcript.h"
#include "platform/descriptors.h"
#include "platform/files.h"

namespace aspisim {

namespace {

using aspihost::Outcome;
using aspihost::Record;
using aspihost::Request;
using aspihost::RequestKind;

// A transcript holds at most this much: a whole upgrade with every flash
// block read back is a few megabytes.
constexpr long long kMaxTranscript = 256LL << 20;

// The longest time a replayed command takes, whatever the factor.
constexpr double kMaxMicros = 1e13;

// The whole of a regular file; none, with the reason, otherwise.
std::optional<std::string> read_text(const char* path, std::string& why) {
    int fd = platform::above_stdio(
        ::open(path, O_RDONLY | platform::kNoWait | platform::kPrivate | platform::kBinary));
    if (fd < 0) {
        why = std::strerror(errno);
        return std::nullopt;
    }
    struct stat st;
    std::optional<std::string> text;
    if (::fstat(fd, &st) != 0) {
        why = std::strerror(errno);
    } else if (!S_ISREG(st.st_mode)) {
        why = "not a regular file";
    } else if (st.st_size > kMaxTranscript) {
        why = "longer than " + std::to_string(kMaxTranscript) + " bytes";
    } else {
        platform::make_blocking(fd);
        text.emplace();
        char buf[65536];
        for (;;) {
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) why = std::strerror(errno);
            if (n <= 0 || static_cast<long long>(text->size()) > kMaxTranscript) break;
            text->append(buf, static_cast<std::size_t>(n));
        }
        if (static_cast<long long>(text->size()) > kMaxTranscript)
            why = "longer than " + std::to_string(kMaxTranscript) + " bytes";
        if (!why.empty()) text.reset();
    }
    ::close(fd);
    return text;
}

class Replay : public aspihost::Target {
public:
    Replay(aspihost::Log& log, const char* path, double scale) : log_(log), scale_(scale) {
        // A person must never take these answers for a drive's.
        log_.report(std::string("replaying the recording ") + path);
        ok_ = load(path) && log_.open("ASPISIM_LOG");
    }

    DWORD support_info() override {
        if (!ok_) return DWORD{SS_FAILED_INIT} << 8;
        return DWORD{t_.header.status} << 8 | static_cast<DWORD>(t_.header.adapters.size());
    }

    bool ready() const override { return ok_; }

    bool valid_ha(BYTE ha) override { return ha < t_.header.adapters.size(); }

    void adapter_inquiry(SRB_HAInquiry& s) override {
        const aspihost::AdapterInfo& a = t_.header.adapters[s.SRB_HaId];
        s.HA_Count = a.count;
        s.HA_SCSI_ID = a.id;
        std::memcpy(s.HA_Identifier, a.identifier.data(), a.identifier.size());
        std::memcpy(s.HA_Unique, a.unique.data(), a.unique.size());
    }

    BYTE device_type(const aspihost::Address&, BYTE& type) override {
        const Outcome& o = *current_->outcome;  // a devtype has one: the reader sees to it
        if (o.type) type = *o.type;
        return o.status;
    }

    // Adapter inquiries are answered from the header whenever they come:
    // the transport's own came as it loaded the layer, before the recording
    // started, so they are not part of the order.
    BYTE admit(const Request& r, const aspihost::Command* aborted) override {
        if (diverged_) return SS_ERR;
        if (r.kind == RequestKind::hainquiry) return SS_COMP;
        const auto& records = t_.records;
        while (next_ < records.size() && records[next_].request.kind == RequestKind::hainquiry) next_++;
        Request sent = r;
        if (r.kind == RequestKind::abort) {
            sent.aborts.reset();
            if (aborted != nullptr && aborted->note != nullptr)
                sent.aborts =
                    static_cast<std::size_t>(static_cast<const Record*>(aborted->note) - records.data()) + 1;
        }
        const std::string theirs = notation(sent);
        const std::string ours = next_ < records.size() ? notation(records[next_].request) : "nothing more";
        if (theirs != ours) {
            diverged_ = true;
            log_.report("replay: command " + std::to_string(next_ + 1) + " differs: the program sent " +
                        theirs + ", the recording has " + ours);
            return SS_ERR;
        }
        current_ = &records[next_++];
        return SS_COMP;
    }

    bool checks_requests() const override { return true; }

    // A command that never ended, or that only its abort ended, waits for
    // the program's abort again.
    aspihost::Plan accept(const aspihost::Command&, bool) override {
        aspihost::Plan p;
        p.hang = !current_->outcome || current_->outcome->status == SS_ABORTED;
        p.note = current_;
        return p;
    }

    aspihost::Result execute(const aspihost::Command& c) override {
        const Outcome& o = answer(c);
        if (!o.data.empty()) std::memcpy(c.data, o.data.data(), std::min<std::size_t>(o.data.size(), c.len));
        return {o.status, o.hastat, o.targstat, o.sense, o.resid};
    }

    aspihost::Result reset(const aspihost::Command& c) override {
        const Outcome& o = answer(c);
        return {o.status, o.hastat, 0, {}, {}};
    }

private:
    bool load(const char* path) {
        std::string why;
        const std::optional<std::string> text = read_text(path, why);
        if (!text) {
            log_.report(std::string("cannot read the recording ") + path + ": " + why);
            return false;
        }
        aspihost::ReadResult r = aspihost::read_transcript(*text);
        if (!r.why.empty()) {
            log_.report(std::string(path) + ":" + std::to_string(r.line) + ": " + r.why);
            return false;
        }
        t_ = std::move(r.transcript);
        return true;
    }

    // The recorded outcome, once its recorded time has passed; on the
    // queue's worker, as a drive takes its time.
    const Outcome& answer(const aspihost::Command& c) const {
        const Outcome& o = *static_cast<const Record*>(c.note)->outcome;
        if (o.micros) {
            const double us = std::min(static_cast<double>(*o.micros) * scale_, kMaxMicros);
            std::this_thread::sleep_for(std::chrono::microseconds(static_cast<long long>(us)));
        }
        return o;
    }

    aspihost::Log& log_;
    const double scale_;
    bool ok_ = false;
    aspihost::Transcript t_;
    std::size_t next_ = 0;  // the record the next request must match
    const Record* current_ = nullptr;
    bool diverged_ = false;
};

}  // namespace

std::unique_ptr<aspihost::Target> make_replay(aspihost::Log& log, const char* path, double scale) {
    return std::make_unique<Replay>(log, path, scale);
}

}  // namespace aspisim

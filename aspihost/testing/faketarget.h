// A back end for the front end's own tests: one adapter, a device at every
// target, one queue per target. Every command and reset it is handed is
// kept as it came; each is answered by the next scripted answer (its data
// written into the front end's buffer), else GOOD. A queue can be held:
// its commands wait in execute until it is let go.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "aspihost/host.h"

namespace aspitest {

struct Answer {
    aspihost::Result result;
    std::vector<std::uint8_t> data{};  // written into the command's buffer, as far as it holds
};

class FakeTarget : public aspihost::Target {
public:
    struct Seen {
        aspihost::Command cmd;             // its data pointer the front end's own
        std::vector<std::uint8_t> data{};  // what the buffer held as it came
        bool reset = false;
    };

    DWORD support_info() override { return DWORD{SS_COMP} << 8 | 1; }
    bool ready() const override { return true; }
    bool valid_ha(BYTE ha) override { return ha == 0; }
    void adapter_inquiry(SRB_HAInquiry& s) override {
        s.HA_Count = 1;
        s.HA_SCSI_ID = 7;
        aspihost::text(s.HA_Identifier, "FAKE");
    }
    BYTE device_type(const aspihost::Address&, BYTE& type) override { return type = 5, SS_COMP; }
    aspihost::Plan accept(const aspihost::Command& c, bool) override {
        aspihost::Plan p;
        p.queue = c.at.target;
        p.unit = this;
        return p;
    }
    aspihost::Result execute(const aspihost::Command& c) override { return take(c, false); }
    aspihost::Result reset(const aspihost::Command& c) override { return take(c, true); }

    void hold(int queue) {
        std::lock_guard<std::mutex> g(mu);
        held = queue;
    }
    void let_go() {
        std::lock_guard<std::mutex> g(mu);
        held = -1;
        cv.notify_all();
    }

    std::mutex mu;
    std::deque<Answer> answers;
    std::vector<Seen> seen;
    int held = -1;

private:
    aspihost::Result take(const aspihost::Command& c, bool reset) {
        std::unique_lock<std::mutex> g(mu);
        seen.push_back({c, std::vector<std::uint8_t>(c.data, c.data + c.len), reset});
        cv.wait(g, [&] { return held != c.at.target; });
        if (answers.empty()) return {};
        Answer a = answers.front();
        answers.pop_front();
        if (const std::size_t n = std::min<std::size_t>(a.data.size(), c.len))
            std::memcpy(c.data, a.data.data(), n);
        return a.result;
    }
    std::condition_variable cv;
};

// The layer whose back end is a FakeTarget; `made` is the one made last.
inline FakeTarget* made = nullptr;
inline const aspihost::Layer fake_layer{"fake", [](aspihost::Log&) -> std::unique_ptr<aspihost::Target> {
                                            auto t = std::make_unique<FakeTarget>();
                                            made = t.get();
                                            return t;
                                        }};

}  // namespace aspitest

// The transcript reader on arbitrary text: a replay reads a file a user
// sends. It must refuse or accept, never crash or read outside the text;
// a refusal names a line of the text; what it accepts keeps the limits
// the replay relies on, and the writer's text of it reads as the same.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "aspihost/transcript.h"

namespace {

void require(bool ok) {
    if (!ok) __builtin_trap();
}

bool synchronous(aspihost::RequestKind k) {
    return k != aspihost::RequestKind::exec && k != aspihost::RequestKind::reset;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const aspihost::ReadResult r = aspihost::read_transcript(text);
    if (!r.why.empty()) {
        std::size_t lines = 0;
        for (char c : text) lines += c == '\n';
        require(r.line >= 1 && r.line <= lines + 1);
        return 0;
    }
    const aspihost::Transcript& t = r.transcript;
    require(t.header.adapters.size() <= 255);
    for (std::size_t i = 0; i < t.records.size(); i++) {
        const aspihost::Record& rec = t.records[i];
        const aspihost::Request& q = rec.request;
        require(q.kind != aspihost::RequestKind::exec || (!q.cdb.empty() && q.cdb.size() <= 16));
        require(q.len <= aspihost::MAX_BUFFER);
        require(!q.aborts || (*q.aborts >= 1 && *q.aborts <= i &&
                              t.records[*q.aborts - 1].request.kind == aspihost::RequestKind::exec));
        require(rec.outcome || !synchronous(q.kind));
        require(!rec.outcome || rec.outcome->data.size() <= q.len);
    }
    const aspihost::ReadResult again = aspihost::read_transcript(aspihost::transcript_text(t));
    require(again.why.empty() && again.transcript == t);
    return 0;
}

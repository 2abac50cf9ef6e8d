// Seeds of fuzz_transcript, written by the transcript's own writer: a
// short run of every kind of request, an upgrade's pieces and a flash
// read back, and a hung command taken back by its abort, its outcome after
// later requests as the recorder writes it. Usage: seeds FOLDER
#include <string>

#include "aspihost/transcript.h"
#include "fuzz/seeds.h"

namespace {

using aspihost::Outcome;
using aspihost::Request;
using aspihost::RequestKind;

aspihost::Header header() {
    aspihost::Header h;
    h.program = "qvupdate 1.21";
    h.layer = "aspisim";
    h.layer_version = "1.21";
    h.date = "2025-01-31T09:15:02Z";
    aspihost::AdapterInfo a;
    a.count = 2;
    a.id = 7;
    const std::string name = "ASPISIM         ";
    std::copy(name.begin(), name.end(), a.identifier.begin());
    a.unique[3] = 16;
    a.unique[6] = 1;
    h.adapters = {a, a};
    return h;
}

Request exec(std::vector<std::uint8_t> cdb, aspihost::Direction dir, std::uint32_t len) {
    Request q;
    q.at = {0, 2, 0};
    q.cdb = std::move(cdb);
    q.dir = dir;
    q.len = len;
    if (dir == aspihost::Direction::out) q.crc = 0x85FFA217;
    return q;
}

Outcome done(BYTE status, std::vector<std::uint8_t> data = {}) {
    Outcome o;
    o.status = status;
    o.micros = 4213;
    o.data = std::move(data);
    return o;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    using aspihost::Direction;
    aspihost::Transcript kinds{header(), {}};
    Request q;
    q.kind = RequestKind::hainquiry;
    kinds.records.push_back({q, done(SS_COMP)});
    std::vector<std::uint8_t> inquiry(96, 0x20);
    inquiry[0] = 5;
    kinds.records.push_back({exec({0x12, 0, 0, 0, 96, 0}, Direction::in, 96), done(SS_COMP, inquiry)});
    Outcome no_disc = done(SS_ERR);
    no_disc.targstat = 2;
    no_disc.sense = {0x70, 0, 2, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x3A, 0};
    no_disc.resid = 0;
    kinds.records.push_back({exec({0, 0, 0, 0, 0, 0}, Direction::none, 0), no_disc});
    q.kind = RequestKind::devtype;
    q.at = {0, 2, 0};
    Outcome type = done(SS_COMP);
    type.type = 5;
    kinds.records.push_back({q, type});
    q.kind = RequestKind::reset;
    kinds.records.push_back({q, done(SS_COMP)});
    kinds.records.push_back({exec({0x3B, 4, 0, 0, 0, 0, 0, 0x20, 0, 0}, Direction::out, 8192), std::nullopt});
    seeds::write(argv[1], "kinds", aspihost::transcript_text(kinds));

    aspihost::Transcript upgrade{header(), {}};
    for (std::uint8_t p = 0; p < 4; p++)
        upgrade.records.push_back(
            {exec({0xE2, 1, 0, 0, std::uint8_t(p * 0x80), 0, 0, 0, 0x80, 0, 0, 0}, Direction::out, 32768),
             done(SS_COMP)});
    std::vector<std::uint8_t> flash(200);
    for (std::size_t i = 0; i < flash.size(); i++) flash[i] = static_cast<std::uint8_t>(i * 31);
    upgrade.records.push_back(
        {exec({0xE3, 0, 0, 0x10, 0, 0, 0, 0, 0, 200, 0, 0}, Direction::in, 200), done(SS_COMP, flash)});
    seeds::write(argv[1], "upgrade", aspihost::transcript_text(upgrade));

    // A hung command, the abort that takes it back, then its outcome.
    const Request hung = exec({0, 0, 0, 0, 0, 0}, Direction::none, 0);
    Request abort;
    abort.kind = RequestKind::abort;
    abort.aborts = 1;
    Outcome aborted = done(SS_ABORTED);
    aborted.abandoned = true;
    seeds::write(argv[1], "abort",
                 aspihost::header_text(header()) + "# a comment\n\n" + aspihost::request_line(1, hung) +
                     aspihost::request_line(2, abort) +
                     aspihost::outcome_lines(2, RequestKind::abort, done(SS_COMP)) +
                     aspihost::outcome_lines(1, RequestKind::exec, aborted));
    return 0;
}

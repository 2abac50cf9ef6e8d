// Seeds of fuzz_sgoutcome: the commands of an upgrade and replies a driver
// gives. Usage: seeds FOLDER
#include <cerrno>
#include <string>

#include "aspilinux/outcome.h"
#include "fuzz/seeds.h"
#include "fuzz/sgoutcome/reply.h"

namespace {

reply::Input command(std::uint8_t flags, std::uint32_t len, std::initializer_list<std::uint8_t> cdb) {
    reply::Input in;
    in.flags = flags;
    in.len = len;
    in.cdb_len = static_cast<std::uint8_t>(cdb.size());
    std::copy(cdb.begin(), cdb.end(), in.cdb);
    return in;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    const reply::Input piece = command(SRB_DIR_OUT, 8192, {0x3B, 4, 0, 0, 0, 0, 0, 0x20, 0, 0});
    const reply::Input inquiry = command(SRB_DIR_IN, 96, {0x12, 0, 0, 0, 96, 0});
    seeds::write(argv[1], "piece-good", reply::encode(piece));
    reply::Input in = inquiry;
    in.reply.resid = 60;
    seeds::write(argv[1], "inquiry-short", reply::encode(in));
    in = command(0, 0, {0, 0, 0, 0, 0, 0});
    in.reply.status = 0x02;
    in.reply.driver = aspilinux::DRIVER_SENSE;
    in.reply.sense = {0x70, 0, 0x02, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x3A, 0, 0, 0, 0, 0};
    seeds::write(argv[1], "tur-no-disc", reply::encode(in));
    in = piece;
    in.reply.resid = 8192;
    seeds::write(argv[1], "piece-short", reply::encode(in));
    in = piece;
    in.reply.host = aspilinux::DID_TIME_OUT;
    seeds::write(argv[1], "piece-timeout", reply::encode(in));
    in = piece;
    in.reply.err = ENODEV;
    seeds::write(argv[1], "piece-gone", reply::encode(in));
    in = command(SRB_DIR_IN | SRB_ENABLE_RESIDUAL_COUNT, 65536, {0xE3, 0, 0, 0x10, 0, 0, 0, 1, 0, 0, 0, 0});
    in.reply.driver = 0x10 | aspilinux::DRIVER_HARD;
    seeds::write(argv[1], "read-rom-hard", reply::encode(in));
    return 0;
}

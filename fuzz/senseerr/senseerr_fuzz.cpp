// The sense report and the error report on fuzzer-made sense bytes.
//
// Input: 32 sense bytes, 3 status bytes, one byte of code override (0xFF:
// none), one byte selecting the device kind, two bytes of buffer size
// (0..1023), then the rest of the command record: error class, ux_errno,
// sense_received, resid, cdb_len, size (one byte each, signed where it
// matters). Every buffer is a heap block of exactly its size, so
// AddressSanitizer sees any byte outside it; the counts must stay inside.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "scg/scg.h"

namespace {

class Reader {
public:
    Reader(const std::uint8_t* d, std::size_t n) : d_(d), n_(n) {}
    std::uint8_t byte() { return pos_ < n_ ? d_[pos_++] : 0; }
    void bytes(unsigned char* out, std::size_t k) {
        for (std::size_t i = 0; i < k; i++) out[i] = byte();
    }

private:
    const std::uint8_t* d_;
    std::size_t n_;
    std::size_t pos_ = 0;
};

const int kinds[] = {0, 3, 8, 700, 1, 5, -1, 9};

// A count of an s-form: inside the buffer, and the text terminated there.
void check(const char* buf, int size, int n) {
    if (size <= 0) return;
    if (n < 0 || n > size - 1) std::abort();
    if (buf[n] != '\0' || std::strlen(buf) != static_cast<std::size_t>(n)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static SCSI* scgp = scg_smalloc();
    static const char* vec[] = {
        "\x3A\x00"
        "caller's own text",
        nullptr};
    Reader in(data, size);

    unsigned char sense[SCG_MAX_SENSE];
    unsigned char status[SCG_MAX_STATUS];
    in.bytes(sense, sizeof sense);
    in.bytes(status, sizeof status);
    const int override = in.byte();
    const int kind = in.byte();
    const int bufsize = (in.byte() << 8 | in.byte()) & 0x3FF;

    scgp->device_kind = kinds[kind & 7];
    scgp->nonstderrs = (kind & 8) ? vec : nullptr;

    char* buf = static_cast<char*>(std::malloc(bufsize > 0 ? bufsize : 1));
    int n = scg__errmsg(scgp, buf, bufsize, sense, status, override == 0xFF ? -1 : override);
    check(buf, bufsize, n);
    if (bufsize == 0 && n != 0) std::abort();

    char* msgbuf = static_cast<char*>(std::malloc(bufsize > 0 ? bufsize : 1));
    const char* msg =
        scg_sensemsg(scgp->device_kind, sense[12], sense[13], scgp->nonstderrs, msgbuf, bufsize);
    if (msg == msgbuf) check(msgbuf, bufsize, static_cast<int>(std::strlen(msgbuf)));

    // The whole error report of a record with these results.
    struct scg_cmd* scmd = scgp->cmdrec;
    std::memset(scmd, 0, sizeof *scmd);
    std::memcpy(scmd->sense, sense, sizeof sense);
    std::memcpy(scmd->status, status, sizeof status);
    std::memcpy(scmd->cdb, sense, sizeof scmd->cdb);
    scmd->error = static_cast<std::int8_t>(in.byte());
    scmd->ux_errno = static_cast<std::int8_t>(in.byte());
    scmd->sense_received = static_cast<std::int8_t>(in.byte());
    scmd->resid = static_cast<std::int8_t>(in.byte());
    scmd->cdb_len = static_cast<std::int8_t>(in.byte());
    const int datasize = static_cast<std::int8_t>(in.byte());
    unsigned char* xfer = static_cast<unsigned char*>(std::malloc(datasize > 0 ? datasize : 1));
    if (datasize > 0) std::memset(xfer, 0xA5, datasize);
    scmd->addr = xfer;
    scmd->size = datasize;
    scmd->flags = (kind & 0x10) ? SCGF_RECV : 0;
    scgp->verbose = (kind >> 5) & 3;
    scgp->silent = (kind >> 7) & 1;
    scgp->cmd_name = (kind & 0x40) ? "fuzz" : nullptr;

    n = scg_sprinterr(scgp, buf, bufsize);
    check(buf, bufsize, n);
    if (bufsize > 0) {
        n = scg_svtail(scgp, nullptr, buf, bufsize);
        check(buf, bufsize, n);
        n = scg_svhead(scgp, buf, bufsize);
        check(buf, bufsize, n);
    }

    std::free(xfer);
    std::free(msgbuf);
    std::free(buf);
    return 0;
}

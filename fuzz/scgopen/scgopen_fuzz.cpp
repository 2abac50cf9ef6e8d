// Device address parsing: scg_scandev and scg_open on a fuzzer-made text.
//
// Input: one byte of error buffer size (0..255), one byte of switches
// (bit 0: open succeeds, bit 1: the transport leaves an error text, bits
// 4-7 == 0xF: verbose and debug printouts for texts under 40 bytes), then the
// device text. The error
// buffer is a heap block of exactly its size, so AddressSanitizer sees any
// byte written outside it. scg_open runs on the fake transport; names that
// begin with "REMOTE" end the program by design and are left out.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "scg/scg.h"
#include "scg/scsiopen.h"
#include "scg/testing/fake_transport.h"

namespace {

void check_text(const char* errs, int slen) {
    if (slen > 0 && std::memchr(errs, '\0', static_cast<std::size_t>(slen)) == nullptr) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static scg_fake::FakeTransport fake;
    static scg_fake::UseAsStdTransport use;
    if (size < 2) return 0;
    const int slen = data[0];
    const int sw = data[1];
    const std::string text(reinterpret_cast<const char*>(data + 2), size - 2);
    const char* dev = text.c_str();  // cut at the first NUL, as a C text is

    char* errs = static_cast<char*>(std::malloc(slen > 0 ? slen : 1));
    if (slen > 0) errs[0] = 'X';

    int bus = 0, tgt = 0, lun = 0;
    const int n = scg_scandev(dev, errs, slen, &bus, &tgt, &lun);
    if (n < -1 || n > 3) std::abort();
    if (n < 0) check_text(errs, slen);
    if (n >= 0 && (bus < 0 || tgt < 0 || lun < 0)) std::abort();

    if (std::strncmp(dev, "REMOTE", 6) != 0) {
        fake.opened.clear();
        fake.open_result = (sw & 1) ? 1 : 0;
        fake.on_open = nullptr;
        if (sw & 2) fake.on_open = [](SCSI* scgp) { scg_printf(scgp, "open refused"); };
        // The printouts go to standard error; short texts keep them small.
        const int loud = (sw & 0xF0) == 0xF0 && text.size() < 40;
        SCSI* scgp = scg_open(dev, slen > 0 ? errs : nullptr, slen, loud, loud);
        if (scgp != nullptr) {
            if (!(sw & 1)) std::abort();
            // The name given to the transport is at most 255 characters.
            if (fake.opened.size() != 1 || fake.opened[0].size() > 255) std::abort();
            scg_close(scgp);
        } else {
            check_text(errs, slen);
        }
    }
    std::free(errs);
    return 0;
}

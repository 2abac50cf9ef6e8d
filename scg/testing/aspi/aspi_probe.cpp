// Opens the ASPI transport once, as the tool does, and optionally sends one
// TEST UNIT READY. The tests start copies of it, each in a folder of its own
// with the layer that the case needs beside it or in ../lib/qvupdate.
//
// Usage: aspi_probe [-t seconds] [device]
// Standard error carries the transport's own messages, untouched. Standard
// output: "opened" or "refused: " and the open's error text; with -t also
// "tur RESULT error CLASS", and "delivered N" when the library counts the
// completion signals it has sent.
// Exit status: 0 opened, 1 refused, 2 bad usage.
#include <dlfcn.h>

#include <cstring>

#include "scg/scg.h"
#include "support/printf.h"
#include "support/utils.h"

namespace {

void test_unit_ready(SCSI* scgp, int timeout) {
    scg_settimeout(scgp, timeout);
    struct scg_cmd* sp = scgp->cmdrec;
    sup::fillbytes(sp, sizeof *sp, 0);
    sp->flags = SCGF_DISCONNECT;
    sp->cdb_len = 6;
    sp->sense_len = 18;
    sp->timeout = timeout;
    scgp->cmd_name = "test unit ready";
    scgp->silent++;
    int ret = scg_cmd(scgp);
    scgp->silent--;
    sup::zt_printf("tur %d error %d\n", ret, sp->error);

    void* lib = dlopen("WNASPI32", RTLD_NOW | RTLD_NOLOAD);
    if (lib == nullptr) return;
    auto delivered = reinterpret_cast<int (*)()>(dlsym(lib, "late_signals_delivered"));
    if (delivered != nullptr) sup::zt_printf("delivered %d\n", delivered());
    dlclose(lib);
}

}  // namespace

int main(int argc, char** argv) {
    sup::save_args(argc, argv);
    int timeout = 0;
    int arg = 1;
    if (arg < argc && std::strcmp(argv[arg], "-t") == 0) {
        if (arg + 1 >= argc || *sup::astoi(argv[arg + 1], &timeout) != '\0' || timeout <= 0) {
            return 2;
        }
        arg += 2;
    }
    const char* device = arg < argc ? argv[arg] : nullptr;

    char errs[SCSI_ERRBUF_SIZE] = {};
    SCSI* scgp = scg_open(device, errs, sizeof errs, 0, 0);
    if (scgp == nullptr) {
        sup::zt_printf("refused: %s\n", errs);
        sup::flush();
        return 1;
    }
    sup::zt_printf("opened\n");
    if (timeout > 0) test_unit_ready(scgp, timeout);
    sup::flush();
    scg_close(scgp);
    return 0;
}

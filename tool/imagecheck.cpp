// Firmware image identification and checksum, and the image file access that
// the upgrade shares with them.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "support/printf.h"
#include "tool/qvupgrade.h"

namespace {

// Only the second image check fuzz target defines this: it accepts any
// stored sum, so that the fuzzer reaches the length logic behind the sum.
#ifdef QV_FUZZ_ANY_CHECKSUM
constexpr bool kAnyChecksum = true;
#else
constexpr bool kAnyChecksum = false;
#endif

}  // namespace

int OpenImage(const char* file) {
    int fd = open(file, O_RDONLY);
    if (fd < 0) {
        sup::printf("%cUnable to open file %s\n", 7, file);
        EndRun(1);
    }
    return fd;
}

long ReadImage(int fd, unsigned char* to, long len) {
    long got = 0;
    while (got < len) {
        ssize_t n = read(fd, to + got, static_cast<size_t>(len - got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += n;
    }
    return got;
}

int GetUpgradeInfo(const char* file) {
    int fd = OpenImage(file);
    int type = -1;
    for (int i = 0; i < num_identity_rows; i++) {
        const IdentityRow& row = identity_rows[i];
        // A field that runs past the end of the file reads short and so
        // cannot match.
        if (lseek(fd, row.offset, SEEK_SET) != row.offset) continue;
        if (ReadImage(fd, buffer, row.length) == row.length &&
            std::memcmp(buffer, row.text, static_cast<size_t>(row.length)) == 0) {
            type = row.type;
            break;
        }
    }
    close(fd);
    if (debug) sup::printf("Found drive type: %d\n", type);
    return type;
}

int isValidUpgradeFile(const char* file, int type) {
    int fd = OpenImage(file);
    const ChecksumRow* row = checksum_row(type);
    if (!row) {
        close(fd);
        return 0;
    }
    // The pieces follow the image layout: 32 KiB blocks for images summed
    // from the start, 20000-byte pieces after the uncovered boot area.
    const long piece = row->start == 0 ? 32768 : 20000;
    unsigned short sum = 0;
    bool whole = lseek(fd, row->start, SEEK_SET) == row->start;
    for (long pos = row->start; whole && pos < row->stored_at; pos += piece) {
        long len = row->stored_at - pos < piece ? row->stored_at - pos : piece;
        long got = ReadImage(fd, buffer, len);
        for (long i = 0; i < got; i++) sum = static_cast<unsigned short>(sum + buffer[i]);
        whole = got == len;
    }
    if (debug) sup::printf("Checksum pos: 0x%lX\n", static_cast<long>(lseek(fd, 0, SEEK_CUR)));
    unsigned int stored = 0;
    if (whole && ReadImage(fd, buffer, 2) == 2) {
        stored = buffer[0] * 256u + buffer[1];
    } else {
        // A file that ends inside the covered range or the stored sum has
        // no checksum to compare.
        whole = false;
    }
    int result = whole && (stored == sum || kAnyChecksum) ? 1 : 0;
    if (debug) sup::printf("Checksum 0x%X should be 0x%X\n", static_cast<unsigned>(sum), stored);
    close(fd);
    return result;
}

int isCompleteUpgradeFile(const char* file, int type) {
    const TransferPlan* plan = transfer_plan(type);
    int fd = OpenImage(file);
    off_t size = lseek(fd, 0, SEEK_END);
    close(fd);
    return plan && size >= static_cast<off_t>(plan->pieces) * plan->piece_size ? 1 : 0;
}

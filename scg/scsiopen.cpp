// Handle allocation and release, device address parsing, and open.
#include "scg/scsiopen.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "scg/scg.h"
#include "support/comerr.h"
#include "support/printf.h"
#include "support/utils.h"

namespace {

constexpr int kDevNameSize = 256;

// Copies at most n characters of src as plain text into dst of dstsize
// bytes, cut to fit and always terminated.
void copy_text(char* dst, std::size_t dstsize, const char* src, std::size_t n) {
    if (dstsize == 0) return;
    if (n > dstsize - 1) n = dstsize - 1;
    std::size_t i = 0;
    for (; i < n && src[i] != '\0'; i++) dst[i] = src[i];
    dst[i] = '\0';
}

void set_devname(char* devname, const char* src, std::size_t n) { copy_text(devname, kDevNameSize, src, n); }

// Formats an error text into the caller's buffer when there is one.
template <class... A>
void seterr(char* errs, int slen, const char* fmt, const A&... args) {
    if (errs != nullptr) sup::zt_snprintf(errs, slen, fmt, args...);
}

// Releases a handle that failed to open and returns null, keeping the
// errno that explains the failure.
SCSI* give_up(SCSI* scgp, int err) {
    scg_sfree(scgp);
    errno = err;
    return nullptr;
}

}  // namespace

int scg_scandev(const char* devp, char* errs, int slen, int* busp, int* tgtp, int* lunp) {
    int x1 = 0, x2 = 0, x3 = 0;
    int n = 0;
    const char* p = devp;
    // A number that does not fit an int is as bad as a stray character: it
    // would wrap onto another address.
    bool fits = true;

    *busp = *tgtp = *lunp = 0;
    if (*p != '\0') {
        p = sup::astoi_fits(p, &x1, &fits);
        if (!fits || *p != ',') {
            seterr(errs, slen, "Invalid bus or target specifier in '%s'", devp);
            return -1;
        }
        p++;
        n++;
        if (*p != '\0') {
            p = sup::astoi_fits(p, &x2, &fits);
            if (!fits || (*p != ',' && *p != '\0')) {
                seterr(errs, slen, "Invalid target or lun specifier in '%s'", devp);
                return -1;
            }
            if (*p == ',') p++;
            n++;
            if (*p != '\0') {
                p = sup::astoi_fits(p, &x3, &fits);
                if (!fits || *p != '\0') {
                    seterr(errs, slen, "Invalid lun specifier in '%s'", devp);
                    return -1;
                }
                n++;
            }
        }
    }
    if (n == 3) {
        *busp = x1;
        *tgtp = x2;
        *lunp = x3;
    } else if (n == 2) {
        *tgtp = x1;
        *lunp = x2;
    } else if (n == 1) {
        *tgtp = x1;
    }
    if (x1 < 0 || x2 < 0 || x3 < 0) {
        seterr(errs, slen, "Invalid value for bus, target or lun (%d,%d,%d)", *busp, *tgtp, *lunp);
        return -1;
    }
    return n;
}

SCSI* scg_smalloc() {
    auto* scgp = static_cast<SCSI*>(std::calloc(1, sizeof(SCSI)));
    if (scgp == nullptr) return nullptr;

    scgp->ops = &scg_dummy_ops;
    scg_settarget(scgp, -1, -1, -1);
    scgp->fd = -1;
    scgp->default_timeout = 20;
    scgp->running = 0;

    scgp->cmd_start = static_cast<struct timeval*>(std::calloc(1, sizeof(struct timeval)));
    scgp->cmd_elapsed = static_cast<struct timeval*>(std::calloc(1, sizeof(struct timeval)));
    scgp->cmdrec = static_cast<struct scg_cmd*>(std::calloc(1, sizeof(struct scg_cmd)));
    scgp->inquiry_data = static_cast<unsigned char*>(std::calloc(1, 36));
    scgp->capacity_data = static_cast<int*>(std::calloc(2, sizeof(int)));
    scgp->errbuf = static_cast<char*>(std::calloc(1, SCSI_ERRBUF_SIZE));
    if (scgp->cmd_start == nullptr || scgp->cmd_elapsed == nullptr || scgp->cmdrec == nullptr ||
        scgp->inquiry_data == nullptr || scgp->capacity_data == nullptr || scgp->errbuf == nullptr) {
        scg_sfree(scgp);
        return nullptr;
    }
    scgp->errbuf_flushed = scgp->errbuf_end = scgp->errbuf;
    scgp->err_stream = stderr;
    return scgp;
}

void scg_sfree(SCSI* scgp) {
    if (scgp == nullptr) return;
    std::free(scgp->cmd_start);
    std::free(scgp->cmd_elapsed);
    std::free(scgp->cmdrec);
    std::free(scgp->inquiry_data);
    std::free(scgp->capacity_data);
    std::free(scgp->transport_data);
    if (scgp->ops != nullptr) scg_freebuf(scgp);
    std::free(scgp->errbuf);
    std::free(scgp);
}

void scg_settimeout(SCSI* scgp, int timeout) { scgp->default_timeout = timeout; }

int scg_close(SCSI* scgp) {
    scg__close(scgp);
    scg_sfree(scgp);
    return 0;
}

SCSI* scg_open(const char* scsidev, char* errs, int slen, int debug, int be_verbose) {
    if (errs != nullptr && slen > 0) errs[0] = '\0';

    SCSI* scgp = scg_smalloc();
    if (scgp == nullptr) {
        seterr(errs, slen, "No memory for SCSI structure");
        return nullptr;
    }
    scgp->debug_level = debug;
    scgp->open_verbose = be_verbose;

    char devname[kDevNameSize] = "";
    const char* devp = nullptr;  // the numeric address, when there is one
    int bus = 0, tgt = 0, lun = 0;
    int x1 = 0;

    if (scsidev != nullptr && *scsidev != '\0') {
        const char* sdev = scsidev;
        bool parse = true;
        if (std::strncmp(scsidev, "REMOTE", 6) == 0) {
            set_devname(devname, scsidev, kDevNameSize - 1);
            if (scsidev[6] == '(' || scsidev[6] == ':') {
                const char* c1 = std::strchr(scsidev, ':');
                const char* c2 = c1 != nullptr ? std::strchr(c1 + 1, ':') : nullptr;
                if (c2 == nullptr)
                    parse = false;
                else
                    sdev = c2 + 1;
            } else {
                devname[0] = '\0';
            }
        }
        if (parse) {
            const char* colon = std::strchr(sdev, ':');
            if (colon == nullptr) {
                if (std::strchr(sdev, ',') != nullptr) {
                    devp = sdev;
                } else {
                    x1 = -1;
                    lun = -2;
                    if (devname[0] == '\0') set_devname(devname, scsidev, kDevNameSize - 1);
                }
            } else {
                if (devname[0] == '\0')
                    set_devname(devname, scsidev, static_cast<std::size_t>(colon - scsidev));
                devp = colon + 1;
                if (*devp == '@') {
                    if (devp[1] == '\0') {
                        lun = -2;
                    } else if (devp[1] == ',') {
                        bool fits = true;
                        const char* end = sup::astoi_fits(devp + 2, &lun, &fits);
                        if (!fits || *end != '\0') {
                            seterr(errs, slen, "Invalid lun specifier '%s'", devp + 2);
                            return give_up(scgp, EINVAL);
                        }
                    }
                    x1 = -1;
                    devp = nullptr;
                }
            }
        }
    }

    if (devp != nullptr) {
        x1 = scg_scandev(devp, errs, slen, &bus, &tgt, &lun);
        if (x1 < 0) return give_up(scgp, EINVAL);
    }

    if (x1 > 0) {
        scg_settarget(scgp, bus, tgt, lun);
    } else if (x1 == -1) {
        scg_settarget(scgp, -2, -2, lun);
    } else if (devp != nullptr) {
        sup::zt_fprintf(stderr, "WARNING: device not valid, trying to use default target...\n");
        scg_settarget(scgp, 0, 6, 0);
    }

    if (be_verbose && scsidev != nullptr) {
        sup::zt_fprintf(stderr, "scsidev: '%s'\n", scsidev);
        if (devname[0] != '\0') sup::zt_fprintf(stderr, "devname: '%s'\n", devname);
        sup::zt_fprintf(stderr, "scsibus: %d target: %d lun: %d\n", scgp->scsibus, scgp->target, scgp->lun);
    }
    if (debug > 0) {
        sup::zt_fprintf(stderr, "scg__open(%s) %d,%d,%d\n", devname, scgp->scsibus, scgp->target, scgp->lun);
    }

    if (scg__open(scgp, devname) > 0) return scgp;

    const int err = errno;
    if (errs != nullptr && slen > 0 && scgp->errbuf[0] != '\0')
        copy_text(errs, static_cast<std::size_t>(slen), scgp->errbuf, SCSI_ERRBUF_SIZE);
    return give_up(scgp, err);
}

#include "tests/sgdrive/sgbed.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <scsi/sg.h>
#include <signal.h>
#include <unistd.h>
#include <umockdev.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "aspilinux/testing/fakekernel.h"
#include "platform/aspi.h"
#include "testing/testsupport.h"
#include "tests/sgdrive/sgopen.h"

namespace sgdrive {

namespace {

enum : int { SG_VERSION = 30536 };
// WRITE BUFFER and the flash erase and write.
constexpr std::uint8_t kChanging[] = {0x3B, 0xE1, 0xE2};
// The burst: signals the program holds during a transfer, each once.
constexpr int kBurst[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

template <std::size_t N>
std::string Field(const std::array<char, N>& a) {
    return std::string(a.begin(), a.end()) + "\n";
}

// Threads of process `pid` but its first whose signal mask, as /proc shows
// it, leaves one of the burst's signals open.
std::vector<std::string> OpenThreads(int pid) {
    std::vector<std::string> open;
    std::error_code ec;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    for (const auto& task : std::filesystem::directory_iterator(tasks, ec)) {
        if (task.path().filename() == std::to_string(pid)) continue;
        std::ifstream status(task.path() / "status");
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("SigBlk:", 0) != 0) continue;
            unsigned long long mask = std::stoull(line.substr(7), nullptr, 16);
            for (int sig : kBurst)
                if (!(mask >> (sig - 1) & 1)) {
                    open.push_back(task.path().filename().string() + " " + line);
                    break;
                }
        }
    }
    return open;
}

UMockdevTestbed* Testbed(void* p) { return static_cast<UMockdevTestbed*>(p); }

// The bytes a pointer field of `parent` leads to in the client; null for an
// empty buffer. Owned by the caller.
UMockdevIoctlData* Resolve(UMockdevIoctlData* parent, std::size_t offset, std::size_t len) {
    if (len == 0) return nullptr;
    GError* error = nullptr;
    UMockdevIoctlData* d = umockdev_ioctl_data_resolve(parent, offset, len, &error);
    if (error != nullptr) g_error_free(error);
    return d;
}

struct Unref {
    void operator()(UMockdevIoctlData* d) const {
        if (d != nullptr) g_object_unref(d);
    }
};
using Data = std::unique_ptr<UMockdevIoctlData, Unref>;

}  // namespace

struct Bed::Emulated {
    Bed* bed;
    Drive desc;
    std::shared_ptr<aspisim::Device> device;  // shared with the drive it comes back as
    std::string syspath;                      // the H:C:T:L folder
    UMockdevIoctlBase* handler = nullptr;
    bool gone = false;
};

aspisim::DeviceConf Dravlin(const std::string& product, const std::string& revision, bool medium) {
    return aspilinux_fake::drive_conf("DRAVLIN ", product, revision, 5, medium);
}

Bed::Bed() {
    const char* preload = std::getenv("LD_PRELOAD");
    if (preload == nullptr || std::strstr(preload, "libumockdev-preload") == nullptr)
        throw std::runtime_error("the testbed needs umockdev's preload library: run under umockdev-wrapper");
    UMockdevTestbed* tb = umockdev_testbed_new();
    testbed_ = tb;
    gchar* root = umockdev_testbed_get_root_dir(tb);
    root_ = root;
    g_free(root);
}

Bed::~Bed() {
    for (std::thread& t : arrivals_) t.join();
    for (int fd : held_)
        if (fd >= 0) close(fd);
    for (auto& d : drives_) {
        umockdev_testbed_detach_ioctl(Testbed(testbed_), ("/dev/sg" + std::to_string(d->desc.sg)).c_str(),
                                      nullptr);
        g_object_unref(d->handler);
    }
    g_object_unref(Testbed(testbed_));
}

void Bed::Add(const Drive& drive) {
    std::unique_ptr<Emulated> d = Make(drive, std::make_shared<aspisim::Device>(drive.conf));
    std::lock_guard lock(mutex_);
    drives_.push_back(std::move(d));
}

std::unique_ptr<Bed::Emulated> Bed::Make(const Drive& drive, std::shared_ptr<aspisim::Device> device) {
    UMockdevTestbed* tb = Testbed(testbed_);
    std::string hctl = std::to_string(drive.host) + ":" + std::to_string(drive.channel) + ":" +
                       std::to_string(drive.target) + ":" + std::to_string(drive.lun);
    std::string name = (drive.place.empty() ? "" : drive.place + "/") + "host" + std::to_string(drive.host) +
                       "/target" + std::to_string(drive.host) + ":" + std::to_string(drive.channel) + ":" +
                       std::to_string(drive.target) + "/" + hctl;
    // As the kernel shows them: each attribute ends with a newline.
    std::string type = std::to_string(drive.conf.type) + "\n";
    std::string vendor = Field(drive.conf.vendor), model = Field(drive.conf.product),
                rev = Field(drive.conf.revision);
    gchar* scsi = umockdev_testbed_add_device(tb, "scsi", name.c_str(), nullptr, "type", type.c_str(),
                                              "vendor", vendor.c_str(), "model", model.c_str(), "rev",
                                              rev.c_str(), nullptr, nullptr);

    auto node = [&](const char* subsystem, const char* prefix, int major, int n) {
        std::string dev = prefix + std::to_string(n);
        std::string majmin = std::to_string(major) + ":" + std::to_string(n) + "\n";
        std::string devname = "/dev/" + dev;
        gchar* path =
            umockdev_testbed_add_device(tb, subsystem, (std::string(subsystem) + "/" + dev).c_str(), scsi,
                                        "dev", majmin.c_str(), nullptr, "DEVNAME", devname.c_str(), nullptr);
        umockdev_testbed_set_attribute_link(tb, path, "device", ("../../../" + hctl).c_str());
        g_free(path);
        // umockdev shows a node once a file of its name exists.
        std::ofstream(root_ + "/dev/" + dev);
    };
    node("scsi_generic", "sg", 21, drive.sg);
    if (drive.sr >= 0) node("block", "sr", 11, drive.sr);

    auto d = std::make_unique<Emulated>(Emulated{this, drive, std::move(device), scsi});
    g_free(scsi);
    d->handler = umockdev_ioctl_base_new();
    auto answer = +[](UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) -> gboolean {
        auto* e = static_cast<Emulated*>(self);
        return e->bed->Answer(*e, client);
    };
    g_signal_connect(d->handler, "handle-ioctl",
                     reinterpret_cast<GCallback>(reinterpret_cast<void (*)()>(answer)), d.get());
    GError* error = nullptr;
    std::string devnode = "/dev/sg" + std::to_string(drive.sg);
    if (!umockdev_testbed_attach_ioctl(tb, devnode.c_str(), d->handler, &error)) {
        std::string what = error ? error->message : "?";
        if (error) g_error_free(error);
        throw std::runtime_error("cannot attach the ioctl handler of " + devnode + ": " + what);
    }
    return d;
}

void Bed::Refuse(const std::string& node, int error) {
    std::ofstream(root_ + "/" + kRulesFile, std::ios::app) << node << " " << error << "\n";
}

bool Bed::Hold(const std::string& node, bool exclusive) {
    int fd = ::open(("/dev/" + node).c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC | (exclusive ? O_EXCL : 0));
    held_.push_back(fd);
    return fd >= 0;
}

std::vector<std::uint8_t> Bed::Flash(std::size_t i) {
    std::lock_guard lock(mutex_);
    return drives_.at(i)->device->flash();
}

std::vector<std::string> Bed::Unanswered() {
    std::lock_guard lock(mutex_);
    return unanswered_;
}

std::set<unsigned> Bed::Timeouts() {
    std::lock_guard lock(mutex_);
    return timeouts_;
}

std::vector<std::string> Bed::Repeated() {
    std::lock_guard lock(mutex_);
    return repeated_;
}

std::vector<std::string> Bed::Unblocked() {
    std::lock_guard lock(mutex_);
    return unblocked_;
}

// Runs on umockdev's thread, one request at a time.
bool Bed::Answer(Emulated& d, void* c) {
    auto* client = static_cast<UMockdevIoctlClient*>(c);
    std::lock_guard lock(mutex_);
    if (d.gone) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return true;
    }
    unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    auto put_int = [&](int value) {
        Data out(Resolve(arg, 0, sizeof(int)));
        std::memcpy(out->data, &value, sizeof value);
        umockdev_ioctl_client_complete(client, 0, 0);
    };
    switch (request) {
    case SG_IO: SgIo(d, client, arg); return true;
    case BLKSECTGET: put_int(d.desc.max_bytes); return true;
    case SG_GET_VERSION_NUM: put_int(SG_VERSION); return true;
    case SG_SCSI_RESET:
        d.device->reset();
        umockdev_ioctl_client_complete(client, 0, 0);
        return true;
    default: {
        char text[32];
        std::snprintf(text, sizeof text, "0x%lx", request);
        if (std::find(unanswered_.begin(), unanswered_.end(), text) == unanswered_.end())
            unanswered_.push_back(text);
        umockdev_ioctl_client_complete(client, -1, ENOTTY);
        return true;
    }
    }
}

void Bed::SgIo(Emulated& d, void* c, void* a) {
    auto* client = static_cast<UMockdevIoctlClient*>(c);
    Data header(Resolve(static_cast<UMockdevIoctlData*>(a), 0, sizeof(sg_io_hdr_t)));
    auto* h = reinterpret_cast<sg_io_hdr_t*>(header->data);
    if (h->interface_id != 'S' || h->cmd_len == 0 || h->cmd_len > 16) {
        umockdev_ioctl_client_complete(client, -1, h->interface_id != 'S' ? ENOSYS : EMSGSIZE);
        return;
    }
    std::uint8_t cdb[16] = {};
    Data command(Resolve(header.get(), offsetof(sg_io_hdr_t, cmdp), h->cmd_len));
    std::memcpy(cdb, command->data, h->cmd_len);
    Data data(h->dxfer_direction == SG_DXFER_NONE
                  ? nullptr
                  : Resolve(header.get(), offsetof(sg_io_hdr_t, dxferp), h->dxfer_len));

    timeouts_.insert(h->timeout);
    if (std::find(std::begin(kChanging), std::end(kChanging), cdb[0]) != std::end(kChanging)) {
        std::string key;
        char byte[4];
        for (unsigned i = 0; i < h->cmd_len; i++) {
            std::snprintf(byte, sizeof byte, "%02X ", cdb[i]);
            key += byte;
        }
        key += "crc " + std::to_string(data ? qvtest::crc32(data->data, h->dxfer_len) : 0);
        if (!changing_.insert(key).second) repeated_.push_back(key);
    }

    unsigned long nth = d.device->count(cdb[0]);
    auto found = std::find_if(d.desc.faults.begin(), d.desc.faults.end(),
                              [&](const Fault& f) { return f.opcode == cdb[0] && f.nth == nth; });
    const Fault* fault = found != d.desc.faults.end() ? &*found : nullptr;
    if (fault != nullptr && fault->error != 0) {
        if (fault->vanish) Vanish(d);
        umockdev_ioctl_client_complete(client, -1, fault->error);
        return;
    }
    const Fault* leaves = fault != nullptr && fault->vanish ? fault : nullptr;
    if (leaves) fault = nullptr;  // answered as the drive answers
    if (fault != nullptr && fault->slow_ms > 0) {
        if (fault->burst && process_) {
            int pid = process_();
            unblocked_ = OpenThreads(pid);
            for (int sig : kBurst) kill(pid, sig);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(fault->slow_ms));
        fault = nullptr;  // then answered as the drive answers
    }

    h->status = h->masked_status = h->msg_status = h->sb_len_wr = 0;
    h->host_status = h->driver_status = 0;
    h->resid = 0;
    h->duration = 1;
    if (fault != nullptr) {
        h->host_status = fault->host_status;
        h->resid = static_cast<int>(h->dxfer_len);
    } else {
        const aspilinux_fake::Bytes sense =
            aspilinux_fake::answer(*d.device, *h, cdb, data ? data->data : nullptr);
        Data out(sense.empty() ? nullptr : Resolve(header.get(), offsetof(sg_io_hdr_t, sbp), sense.size()));
        if (out) std::memcpy(out->data, sense.data(), sense.size());
    }
    h->info = (h->status | h->host_status | h->driver_status) ? SG_INFO_CHECK : 0;
    if (leaves) {
        Vanish(d);
        Arrive(*leaves, d);
    }
    umockdev_ioctl_client_complete(client, 0, 0);
}

// What comes in the place of a drive that left; the bed's lock is held.
void Bed::Arrive(const Fault& f, const Emulated& left) {
    if (f.then)
        Arrive(*f.then, f.same ? left.device : std::make_shared<aspisim::Device>(f.then->conf), f.after_ms);
    if (f.back) Arrive(*f.back, left.device, f.back_ms);
}

void Bed::Arrive(const Drive& drive, std::shared_ptr<aspisim::Device> device, unsigned after_ms) {
    if (after_ms == 0) {
        drives_.push_back(Make(drive, std::move(device)));
        return;
    }
    arrivals_.emplace_back([this, drive, device = std::move(device), after_ms] {
        std::this_thread::sleep_for(std::chrono::milliseconds(after_ms));
        std::unique_ptr<Emulated> d = Make(drive, device);
        std::lock_guard lock(mutex_);
        drives_.push_back(std::move(d));
    });
}

// The drive leaves the bus: its sysfs folder and its nodes are gone, and
// what is still open answers ENODEV.
void Bed::Vanish(Emulated& d) {
    d.gone = true;
    umockdev_testbed_remove_device(Testbed(testbed_), d.syspath.c_str());
    for (auto [prefix, n] : {std::pair{"sg", d.desc.sg}, std::pair{"sr", d.desc.sr}}) {
        if (n < 0) continue;
        std::string dev = prefix + std::to_string(n);
        unlink((root_ + "/dev/" + dev).c_str());
        unlink((root_ + "/sys/class/" + (prefix[1] == 'g' ? "scsi_generic/" : "block/") + dev).c_str());
    }
}

}  // namespace sgdrive

#include "tests/harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>

#include "aspisim/testing/simenv.h"
#include "fwimage/fwimage.h"

extern char** environ;

namespace e2e {

namespace {

[[maybe_unused]] std::string BuildDir() {
    const char* dir = std::getenv("QV_BUILD_DIR");
    return dir ? dir : ".";
}

void SetNonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

// The programs of another build, started through a runner: QV_PROGRAMS
// names their folder, QV_EXE_SUFFIX their suffix (".exe") and QV_RUNNER
// the program that starts them (the Windows build's wine-run).
std::string OtherBuild(const std::string& name) {
    const std::string dir = Env("QV_PROGRAMS");
    return dir.empty() ? "" : dir + "/" + ProgramFile(name);
}

// Wine names a program by its DOS path: drive Z: is the Unix root.
std::string DosName(const std::string& path) {
    std::string name = "Z:" + path;
    std::replace(name.begin(), name.end(), '/', '\\');
    return name;
}

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

// A Windows program writes its text streams in text mode: every line ends
// with CR LF. They read as LF, and the program's DOS name as its path, so
// that one expected text serves both builds.
void ReadAsUnix(std::string& text, const std::string& program) {
    for (std::size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 1)) {
        if (at == 0 || text[at - 1] != '\r') {
            ADD_FAILURE() << "a line without CR LF from " << program << ":\n" << text;
            break;
        }
    }
    ReplaceAll(text, "\r\n", "\n");
    ReplaceAll(text, DosName(program), program);
}

}  // namespace

std::string ProgramFile(const std::string& name) { return name + Env("QV_EXE_SUFFIX"); }

std::string LayerFile() { return Env("QV_EXE_SUFFIX") == ".exe" ? "WNASPI32.DLL" : "WNASPI32"; }

std::string QvupdatePath() {
    if (std::string other = OtherBuild("qvupdate"); !other.empty()) return other;
#ifdef QVUPDATE_PATH
    return QVUPDATE_PATH;
#else
    return BuildDir() + "/qvupdate";
#endif
}

std::string QvimagePath() {
    if (std::string other = OtherBuild("qvimage"); !other.empty()) return other;
#ifdef QVIMAGE_PATH
    return QVIMAGE_PATH;
#else
    return BuildDir() + "/qvimage";
#endif
}

Sandbox::Sandbox() {
    // A child that ends before reading all of its input must not take the
    // test down with SIGPIPE.
    signal(SIGPIPE, SIG_IGN);
    mkdir(Path("state").c_str(), 0700);
}

void Sandbox::SetBus(const std::string& text) {
    std::ofstream(Path("bus"), std::ios::binary) << text;
    has_bus_ = true;
}

std::string Sandbox::WriteFile(const std::string& name, const Bytes& data) const {
    return qvtest::WriteFile(Path(name), data);
}

Bytes Sandbox::ReadFile(const std::string& name) const {
    std::ifstream f(Path(name), std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

Result Sandbox::Run(const std::vector<std::string>& args, const std::string& input, int timeout_s) const {
    return Spawn(program_.empty() ? QvupdatePath() : program_, args, input, timeout_s);
}

Result Sandbox::RunAfter(const std::vector<std::string>& args, const std::string& wait_for,
                         const std::function<void()>& action, const std::string& input,
                         const std::string& first) const {
    return Spawn(program_.empty() ? QvupdatePath() : program_, args, input, 60, wait_for, action, first);
}

Result Sandbox::Qvimage(const std::vector<std::string>& args) const {
    return Spawn(QvimagePath(), args, "", 60);
}

std::vector<std::string> Sandbox::Environment() const {
    std::vector<std::string> env;
    auto replaced = [this](const char* e) {
        for (const std::string& mine : env_)
            if (std::strncmp(e, mine.c_str(), mine.find('=') + 1) == 0) return true;
        return false;
    };
    for (char** e = environ; *e; e++)
        if (!simtest::sets_variable(*e) && !replaced(*e)) env.push_back(*e);
    std::vector<std::string> mine = {"ASPISIM_LOG=" + Path("log"),
                                     "ASPISIM_STATE=" + (state_.empty() ? Path("state") : state_)};
    if (has_bus_) mine.push_back("ASPISIM_BUS=" + Path("bus"));
    if (!time_scale_.empty()) mine.push_back("ASPISIM_TIME_SCALE=" + time_scale_);
    for (const std::string& e : mine)
        if (!replaced(e.c_str())) env.push_back(e);
    env.insert(env.end(), env_.begin(), env_.end());
    return env;
}

bool WaitFor(const std::function<bool()>& done, int seconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        usleep(5000);
    }
    return true;
}

Result Sandbox::Spawn(const std::string& program, const std::vector<std::string>& args,
                      const std::string& input, int timeout_s, const std::string& wait_for,
                      const std::function<void()>& action, const std::string& first) const {
    Result r;
    std::vector<std::string> env = Environment();

    const std::string runner = Env("QV_RUNNER");
    const std::string& started = runner.empty() ? program : runner;
    std::vector<char*> argv{const_cast<char*>(started.c_str())};
    if (!runner.empty()) argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);

    // Close-on-exec, so that runs started side by side never hold each
    // other's pipes open.
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC))
        throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    const std::string* const to[] = {&stdout_to_, &stderr_to_};
    for (int fd : {1, 2}) {
        const std::string& where = *to[fd - 1];
        if (where.empty() || where == "|closed")
            posix_spawn_file_actions_adddup2(&fa, fd == 1 ? out[1] : err[1], fd);
        else if (where == "|none")
            posix_spawn_file_actions_addclose(&fa, fd);
        else
            posix_spawn_file_actions_addopen(&fa, fd, where.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    // The run gets SIGPIPE as a shell would give it, not ignored as here.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
    if (stdout_to_ == "|closed") close(out[0]);
    if (stderr_to_ == "|closed") close(err[0]);
    pid_t pid;
    int rc = posix_spawn(&pid, started.c_str(), &fa, &attr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    child_ = rc == 0 ? pid : -1;
    close(in[0]);
    if (stdout_to_ == "|closed") out[0] = -1;
    if (stderr_to_ == "|closed") err[0] = -1;
    close(out[1]);
    close(err[1]);
    if (rc != 0) {
        close(in[1]);
        if (out[0] >= 0) close(out[0]);
        close(err[0]);
        r.err = "spawn of " + program + " failed: " + std::strerror(rc);
        return r;
    }

    SetNonBlocking(in[1]);
    // The child's input: `first` at once, `input` once wait_for has shown
    // (at once without one); then it is closed.
    std::string feed = first;
    bool held = !wait_for.empty();
    if (!held) feed += input;
    std::size_t written = 0;
    int to_child = in[1];
    auto close_when_fed = [&] {
        if (to_child >= 0 && !held && written == feed.size()) {
            close(to_child);
            to_child = -1;
        }
    };
    close_when_fed();
    int from_out = out[0], from_err = err[0];
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
    while (from_out >= 0 || from_err >= 0) {
        auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
                .count();
        if (left <= 0) {
            r.timed_out = true;
            kill(pid, SIGKILL);
            break;
        }
        pollfd fds[3];
        int n = 0;
        if (held &&
            (r.out.find(wait_for) != std::string::npos || r.err.find(wait_for) != std::string::npos)) {
            held = false;
            if (action) action();
            feed += input;
            close_when_fed();
        }
        if (to_child >= 0 && written < feed.size()) fds[n++] = {to_child, POLLOUT, 0};
        if (from_out >= 0) fds[n++] = {from_out, POLLIN, 0};
        if (from_err >= 0) fds[n++] = {from_err, POLLIN, 0};
        if (poll(fds, n, static_cast<int>(left)) < 0 && errno != EINTR) break;
        for (int i = 0; i < n; i++) {
            if (!fds[i].revents) continue;
            int fd = fds[i].fd;
            if (fd == to_child) {
                ssize_t w = write(fd, feed.data() + written, feed.size() - written);
                if (w > 0) written += static_cast<std::size_t>(w);
                if (w < 0 && errno != EAGAIN) {
                    // The child stopped reading: the rest goes nowhere.
                    close(to_child);
                    to_child = -1;
                    continue;
                }
                close_when_fed();
                continue;
            }
            char buf[65536];
            ssize_t got = read(fd, buf, sizeof buf);
            if (got > 0) {
                (fd == from_out ? r.out : r.err).append(buf, static_cast<std::size_t>(got));
            } else if (got == 0 || errno != EAGAIN) {
                close(fd);
                (fd == from_out ? from_out : from_err) = -1;
            }
        }
    }
    for (int fd : {to_child, from_out, from_err})
        if (fd >= 0) close(fd);
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
    r.signal = WIFSIGNALED(wstatus) ? WTERMSIG(wstatus) : 0;
    child_ = -1;
    if (!runner.empty()) {
        ReadAsUnix(r.out, program);
        ReadAsUnix(r.err, program);
    }
    // The simulated layer says once that it runs the described bus
    // (aspisim_test checks the line); the tests compare what is left.
    if (has_bus_) {
        const std::string said = "aspisim: using the simulated bus described in " + Path("bus") + "\n";
        if (std::size_t at = r.err.find(said); at != std::string::npos) r.err.erase(at, said.size());
    }
    return r;
}

std::string Yes(const std::string& model, int ha, int id, const std::string& from, const std::string& to) {
    return "qvupdate: y upgrades the " + model + " at HA:" + std::to_string(ha) +
           " ID:" + std::to_string(id) + " from version " + from + " to " + to + "\n";
}

std::string HoldsNo(const std::string& model, int ha, int id) {
    return "qvupdate: HA:" + std::to_string(ha) + " ID:" + std::to_string(id) + " holds no " + model + "\n";
}

std::string FaultReport(const std::string& cmd_name, const std::string& cdb) {
    return qvtest::FaultReport(QvupdatePath(), cmd_name, cdb);
}

namespace {

Bytes Hex(const std::string& text) {
    Bytes b;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2)
        b.push_back(static_cast<unsigned char>(std::stoul(text.substr(i, 2), nullptr, 16)));
    return b;
}

}  // namespace

std::vector<LogEntry> Sandbox::Log() const {
    std::vector<LogEntry> log;
    std::ifstream f(Path("log"));
    std::string line;
    while (std::getline(f, line)) {
        LogEntry e;
        e.line = line;
        std::istringstream s(line);
        s >> e.kind;
        if (e.kind == "done") continue;  // an outcome: the layers' own tests read those
        if (e.kind == "exec") {
            s >> e.ha >> e.target >> e.lun;
            std::string word;
            while (s >> word) {
                if (word.rfind("flags=", 0) == 0)
                    e.flags = static_cast<int>(std::stoul(word.substr(6), nullptr, 16));
                else if (word.rfind("len=", 0) == 0)
                    e.len = std::stol(word.substr(4));
                else if (word.rfind("cdb=", 0) == 0)
                    e.cdb = Hex(word.substr(4));
                else if (word.rfind("crc32=", 0) == 0) {
                    e.has_crc = true;
                    e.crc = static_cast<std::uint32_t>(std::stoul(word.substr(6), nullptr, 16));
                }
            }
        } else if (e.kind == "hainquiry" || e.kind == "abort") {
            s >> e.ha;
        } else if (e.kind == "reset") {
            s >> e.ha >> e.target >> e.lun;
        }
        log.push_back(e);
    }
    return log;
}

void Sandbox::ClearLog() const { unlink(Path("log").c_str()); }

DriveState State(const Sandbox& box, int ha, int target) {
    // magic (8) | product (16) | revision (4) | flash size (4) | flash
    DriveState state;
    Bytes bytes = box.ReadFile("state/ha" + std::to_string(ha) + "-t" + std::to_string(target) + ".state");
    if (bytes.size() < 32) return state;
    state.saved = true;
    state.revision.assign(bytes.begin() + 24, bytes.begin() + 28);
    state.flash.assign(bytes.begin() + 32, bytes.end());
    return state;
}

std::vector<LogEntry> Execs(const std::vector<LogEntry>& log, int opcode) {
    std::vector<LogEntry> out;
    for (const LogEntry& e : log)
        if (e.kind == "exec" && !e.cdb.empty() && e.cdb[0] == opcode) out.push_back(e);
    return out;
}

std::vector<LogEntry> To(const std::vector<LogEntry>& log, int ha, int target) {
    std::vector<LogEntry> out;
    for (const LogEntry& e : log)
        if (e.kind == "exec" && e.ha == ha && e.target == target) out.push_back(e);
    return out;
}

std::vector<LogEntry> Changing(const std::vector<LogEntry>& log) {
    std::vector<LogEntry> out;
    for (const LogEntry& e : log)
        if (e.kind == "exec" && !e.cdb.empty() && (e.cdb[0] == 0x3B || e.cdb[0] == 0xE1 || e.cdb[0] == 0xE2))
            out.push_back(e);
    return out;
}

std::vector<int> Opcodes(const std::vector<LogEntry>& log) {
    std::vector<int> ops;
    for (const LogEntry& e : log)
        if (e.kind == "exec") ops.push_back(e.cdb.empty() ? -1 : e.cdb[0]);
    return ops;
}

}  // namespace e2e

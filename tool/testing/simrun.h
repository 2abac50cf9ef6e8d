// Runs a piece of the tool in a death-test child against the simulated ASPI
// layer (or a scripted transport), with its output captured in files.
//
// The simulator reads its environment when WNASPI32 is loaded, which happens
// at the first open of a run, and a loaded library stays loaded; the session
// also exits on its failures. So every run happens in a child:
//
//     qvtest::SimRun run("adapters 1\ndevice 0 2 type=5 ...\n");
//     EXPECT_EXIT({
//         run.Enter();
//         int ha = 0, id = -1;
//         initscsi(nullptr, &ha, &id);
//         ListDrives();
//         std::exit(0);
//     }, ::testing::ExitedWithCode(0), "");
//     EXPECT_EQ(run.Out(), "...");
//
// The parent never opens a session, so each child starts from nothing.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/utils.h"
#include "testing/testsupport.h"
#include "tool/qvupgrade.h"

namespace qvtest {

class SimRun {
public:
    // bus: the text of a bus description; empty for the simulator's built-in
    // bus (adapter 0: QV-G567L at target 2, another maker's CD-ROM at 4;
    // adapter 1: a disk at target 0), which announces itself on standard
    // error.
    explicit SimRun(const std::string& bus = "") : has_bus_(!bus.empty()) {
        if (has_bus_) std::ofstream(Path("bus")) << bus;
    }
    SimRun(const SimRun&) = delete;
    SimRun& operator=(const SimRun&) = delete;

    // In the child, before anything opens the transport: the simulator's
    // files, standard output and error into files, the program name
    // "qvupdate", and an empty drive table.
    void Enter() const {
        if (has_bus_)
            ::setenv("ASPISIM_BUS", Path("bus").c_str(), 1);
        else
            ::unsetenv("ASPISIM_BUS");
        ::setenv("ASPISIM_LOG", Path("log").c_str(), 1);
        ::unsetenv("ASPISIM_STATE");  // drives start from their described firmware
        Redirect(1, Path("out"));
        Redirect(2, Path("err"));
        static char name[] = "qvupdate";
        static char* argv[] = {name, nullptr};
        sup::save_args(1, argv);
        scgp = nullptr;
        ndrive = 0;
        nhost = 0;
    }

    // For the child: a line of results for the parent to compare.
    void Result(const std::string& line) const {
        std::ofstream(Path("result"), std::ios::app) << line << "\n";
    }

    std::string Out() const { return Slurp("out"); }
    // Without the line by which the simulator names a described bus.
    std::string Err() const {
        std::string err = Slurp("err");
        const std::string said = "aspisim: using the simulated bus described in " + Path("bus") + "\n";
        if (std::size_t at = err.find(said); has_bus_ && at != std::string::npos) err.erase(at, said.size());
        return err;
    }
    std::string Results() const { return Slurp("result"); }

    // The commands that reached the simulated devices: the "exec" lines of
    // its log, e.g. "exec 0 2 0 flags=0x48 len=36 cdb=12000000240000".
    std::vector<std::string> Execs() const {
        std::vector<std::string> lines;
        std::istringstream log(Slurp("log"));
        for (std::string line; std::getline(log, line);)
            if (line.rfind("exec ", 0) == 0) lines.push_back(line);
        return lines;
    }

private:
    std::string Path(const char* name) const { return dir_.Path(name); }

    std::string Slurp(const char* name) const { return ReadFile(Path(name)); }

    static void Redirect(int fd, const std::string& path) {
        std::fflush(fd == 1 ? stdout : stderr);
        int file = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (file < 0) return;
        ::dup2(file, fd);
        ::close(file);
    }

    bool has_bus_;
    TempDir dir_;
};

// Formats the drive table as "(ha,id) (ha,id) ...".
inline std::string DriveTable() {
    std::string s;
    for (int i = 0; i < ndrive; i++)
        s += (i ? " (" : "(") + std::to_string(arHA[i]) + "," + std::to_string(arID[i]) + ")";
    return s;
}

}  // namespace qvtest

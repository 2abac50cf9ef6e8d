#include "tool/testing/tooltest.h"

#include "scg/scsihack.h"
#include "support/comerr.h"
#include "support/utils.h"
#include "tool/run.h"

namespace qvtest {

namespace {

// The program name in what a run says, as a user typed it.
char kName[] = "qvupdate";

std::vector<char*> Argv(std::vector<std::string>& args) {
    std::vector<char*> argv{kName};
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    return argv;
}

}  // namespace

void ToolTest::SetUp() {
    static char* argv[] = {kName, nullptr};
    sup::save_args(1, argv);
    previous_ = scg_set_std_transport(&ops);
}

void ToolTest::TearDown() {
    link.reset();
    scg_set_std_transport(previous_);
}

SessionSetUp ToolTest::Open(const std::vector<std::string>& args) {
    std::vector<std::string> copy = args;
    std::vector<char*> argv = Argv(copy);
    options = ParseArgs(static_cast<int>(argv.size()) - 1, argv.data());
    link.emplace();
    return initscsi(options, *link);
}

SimulatedBus& ToolTest::SetBus(const std::string& description) {
    fake.sent.clear();
    bus.reset();
    bus.emplace(fake, description, [this] { return aspisim::Device::Clock::time_point(clock.now()); });
    bus->waited = [this](int seconds) { clock.sleep(std::chrono::seconds(seconds)); };
    return *bus;
}

std::string ToolTest::WriteImage(const std::vector<unsigned char>& image, const std::string& name) {
    return WriteFile(dir.Path(name), image);
}

Ran ToolTest::Run(const std::vector<std::string>& args, const std::string& typed) {
    std::vector<std::string> copy = args;
    std::vector<char*> argv = Argv(copy);
    CapturedStream answers(typed);
    Ran ran;
    const Said said = Capture([&] {
        link.emplace();
        const RunEnd end = RunProgram(static_cast<int>(argv.size()) - 1, argv.data(), *link, clock, answers);
        // As main says it; a fatal report would end the process there.
        if (end.fatal)
            sup::errmsgno(end.status, "%s", end.message.c_str());
        else if (!end.message.empty())
            sup::errmsgno(-1, "%s", end.message.c_str());
        ran.status = end.status;
        link.reset();
    });
    ran.out = said.out;
    ran.err = said.err;
    return ran;
}

}  // namespace qvtest

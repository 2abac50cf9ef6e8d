// The simulator's drives behind the scripted fake transport: a bus
// description (the simulated layer's own syntax, faults and all) answered in
// the test's process, each command as the simulated ASPI layer carries it
// out and the ASPI transport hands it to the record. Tests of the tool run
// whole upgrades with it, in milliseconds.
//
//     scg_fake::FakeTransport fake;
//     qvtest::SimulatedBus bus(fake, Drive(0, 2, "CD-R   QV-G567L ", "1.00") + "fail 0 2 0x3B 5\n");
//     ... open a session on the fake, run the upgrade ...
//     EXPECT_EQ(bus.opcodes(0, 2), ...);
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "aspisim/busconf.h"
#include "aspisim/device.h"
#include "scg/testing/fake_transport.h"

namespace qvtest {

class SimulatedBus {
public:
    using Now = std::function<aspisim::Device::Clock::time_point()>;
    // The description must parse (the test fails otherwise). `now` is the
    // drives' time (a restart's end); the machine's steady clock if none.
    SimulatedBus(scg_fake::FakeTransport& fake, const std::string& description, Now now = {});
    SimulatedBus(const SimulatedBus&) = delete;
    SimulatedBus& operator=(const SimulatedBus&) = delete;

    // The drive declared at an address.
    aspisim::Device& device(int ha, int target);
    // The opcodes of the commands sent to an address, in order.
    std::vector<int> opcodes(int ha, int target) const;
    // What a command that hangs costs the caller: the transport waits for
    // its time-out (in seconds), which a test's clock spends.
    std::function<void(int seconds)> waited;

private:
    int answer(SCSI* scgp);

    scg_fake::FakeTransport& fake_;
    aspisim::BusConfig conf_;
    std::vector<aspisim::Device> devices_;
    Now now_;
};

// A bus description line for a drive of the maker.
std::string Drive(int ha, int target, const std::string& product, const std::string& revision,
                  bool medium = false);

// An image made by the image builder; the test fails when it refuses.
std::vector<unsigned char> Image(int type, const std::string& version, long length = -1,
                                 bool bad_checksum = false);

}  // namespace qvtest

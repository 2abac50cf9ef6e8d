// The run's time: how long it waits for a drive. A real drive is waited for
// in real time; a simulated layer's drives in the time the layer's factor
// scales (tests give up on them in a fraction of a second); tests of their
// own move a clock of their own.
#pragma once

#include <chrono>

class Clock {
public:
    using Duration = std::chrono::milliseconds;
    virtual ~Clock() = default;
    // Time since some start, in the run's time.
    virtual Duration now() = 0;
    virtual void sleep(Duration d) = 0;
};

class Link;

// The steady clock of the machine, scaled by the factor of the layer that
// the link loaded (1 for a real one), asked when the clock is read: the
// layer is loaded once the run has begun.
class LayerClock : public Clock {
public:
    explicit LayerClock(const Link& link) : link_(link) {}
    Duration now() override;
    void sleep(Duration d) override;

private:
    const Link& link_;
};

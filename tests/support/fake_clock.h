// The clock and the relock timer of PolicyControl, in the test's hands.
#pragma once

#include <cstdint>

#include "control/policy_control.h"

namespace ventrix::testing {

class FakeClock final : public Clock {
public:
    std::uint32_t now = 1000;
    std::uint32_t nowMs() override { return now; }
};

class NoTimer final : public RelockTimer {
public:
    void start(std::uint32_t) override {}
    void cancel() override {}
};

// A relock timer that remembers whether it runs, and for how long it was set.
class FakeTimer final : public RelockTimer {
public:
    bool running = false;
    std::uint32_t setMs = 0;
    void start(std::uint32_t ms) override {
        running = true;
        setMs = ms;
    }
    void cancel() override { running = false; }
};

}  // namespace ventrix::testing

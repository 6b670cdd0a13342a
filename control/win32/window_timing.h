// The time the policy keeps, on a Windows thread with a window: the tick the
// waits are counted in, and the relock timer as a timer of that window.
#pragma once

#include <windows.h>

#include "control/policy_control.h"

namespace ventrix {

// The relock timer's id on its window (the agent window's timer 18).
inline constexpr UINT_PTR RelockTimerId = 18;

class SystemClock final : public Clock {
public:
    std::uint32_t nowMs() override { return GetTickCount(); }
};

// Fires WM_TIMER RelockTimerId on `window`, whose owner then calls relockDue().
class WindowRelockTimer final : public RelockTimer {
public:
    HWND window = nullptr;
    void start(std::uint32_t ms) override { SetTimer(window, RelockTimerId, ms, nullptr); }
    void cancel() override { KillTimer(window, RelockTimerId); }
};

}  // namespace ventrix

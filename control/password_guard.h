// Wrong passwords in a row cost time, so that guessing at a prompt is slow:
// the first three are free, then each further one makes the next try wait
// 2 s, 4 s, 8 s ... at most 60 s. A right password starts the count again.
// Counted for the process, whichever prompt the password was typed into.
#pragma once

#include <cstdint>

namespace ventrix {

inline constexpr unsigned FreeWrongPasswords = 3;
inline constexpr std::uint32_t FirstRetryDelayMs = 2000;
inline constexpr std::uint32_t LongestRetryDelayMs = 60000;

class PasswordGuard {
public:
    // Times are a millisecond tick that may wrap (GetTickCount).
    void recordWrong(std::uint32_t nowMs);
    void recordRight();
    // Milliseconds before the next try is taken; 0 when it may be taken now.
    std::uint32_t remaining(std::uint32_t nowMs) const;
    unsigned wrongInARow() const { return wrongInARow_; }

private:
    unsigned wrongInARow_ = 0;
    std::uint32_t from_ = 0;
    std::uint32_t delay_ = 0;
};

}  // namespace ventrix

#include "control/password_guard.h"

namespace ventrix {

void PasswordGuard::recordWrong(std::uint32_t nowMs) {
    if (wrongInARow_ < 64) ++wrongInARow_;
    if (wrongInARow_ <= FreeWrongPasswords) return;
    std::uint32_t delay = FirstRetryDelayMs;
    for (unsigned n = FreeWrongPasswords + 1; n < wrongInARow_ && delay < LongestRetryDelayMs; ++n) delay *= 2;
    delay_ = delay < LongestRetryDelayMs ? delay : LongestRetryDelayMs;
    from_ = nowMs;
}

void PasswordGuard::recordRight() {
    wrongInARow_ = 0;
    delay_ = 0;
}

std::uint32_t PasswordGuard::remaining(std::uint32_t nowMs) const {
    const std::uint32_t passed = nowMs - from_;  // unsigned: right across a wrap of the tick
    return passed >= delay_ ? 0 : delay_ - passed;
}

}  // namespace ventrix

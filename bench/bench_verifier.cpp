// One check of a typed password against an administrator's verifier at the
// tool's 600,000 iterations: through the system's CNG and through the
// portable fallback, alternating, round by round.
//   bench_verifier ROUNDS    prints "system us" and "portable us" lines
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "policy/password_verifier.h"
#include "policy/win32/cng_key_deriver.h"

using namespace ventrix;

namespace {

constexpr const char* Password = "a long passphrase typed at the prompt";

double timeCheck(const PasswordVerifier& verifier, KeyDeriver& deriver, bool& accepted) {
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    accepted = verifierAccepts(verifier, Password, deriver);
    QueryPerformanceCounter(&end);
    return double(end.QuadPart - start.QuadPart) * 1e6 / double(frequency.QuadPart);
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 5;
    std::uint8_t salt[MinVerifierSaltSize];
    if (!systemRandomBytes(salt, sizeof salt)) return 1;
    CngKeyDeriver system;
    CngKeyDeriver portable("ventrix-bench-no-bcrypt.dll");
    PasswordVerifier verifier;
    if (!makeVerifier(Password, salt, sizeof salt, DefaultVerifierIterations, system, verifier)) return 1;
    for (int round = 0; round < rounds; ++round) {
        bool bySystem = false, byPortable = false;
        const double s = timeCheck(verifier, system, bySystem);
        const double p = timeCheck(verifier, portable, byPortable);
        if (!bySystem || !byPortable || !system.lastBySystem()) return 2;
        std::printf("system %.0f\nportable %.0f\n", s, p);
    }
    return 0;
}

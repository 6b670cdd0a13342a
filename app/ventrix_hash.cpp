// ventrix-hash: makes the password verifier an administrator puts into the
// PasswordVerifier policy. Reads the password from standard input (without
// echo on a console; a pipe works too), draws a fresh 16-byte salt and prints
//   $pbkdf2-sha256$i=600000$<salt>$<hash>
// Exit code 0 when the line was written, 1 otherwise (the reason on stderr).
#include <windows.h>

#include <string>

#include "policy/password_verifier.h"
#include "policy/win32/cng_key_deriver.h"

namespace {

using namespace ventrix;

// The prompt takes at most this many characters, so a longer password could never be typed there.
constexpr std::size_t MaxPasswordLength = 255;
constexpr std::size_t SaltSize = MinVerifierSaltSize;

void write(HANDLE handle, const std::string& text) {
    DWORD written = 0;
    WriteFile(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

int fail(const char* reason) {
    write(GetStdHandle(STD_ERROR_HANDLE), std::string("ventrix-hash: ") + reason + "\r\n");
    return 1;
}

// One line of input, without its line end; false on a read error.
bool readLine(HANDLE input, std::string& line) {
    char c;
    DWORD got = 0;
    while (ReadFile(input, &c, 1, &got, nullptr) && got == 1) {
        if (c == '\n') break;
        line += c;
        if (line.size() > MaxPasswordLength + 1) break;  // enough to know it is too long
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return true;
}

bool readPassword(std::string& password) {
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (!GetConsoleMode(input, &mode)) return readLine(input, password);
    const HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
    write(error, "Password: ");
    SetConsoleMode(input, mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
    const bool ok = readLine(input, password);
    SetConsoleMode(input, mode);
    write(error, "\r\n");
    return ok;
}

}  // namespace

int main() {
    std::string password;
    if (!readPassword(password)) return fail("the password could not be read.");
    if (password.empty()) return fail("no password was given.");
    if (password.size() > MaxPasswordLength) return fail("the password may be up to 255 characters.");

    std::uint8_t salt[SaltSize];
    if (!systemRandomBytes(salt, sizeof salt)) return fail("the system gave no random bytes for the salt.");
    CngKeyDeriver deriver;
    PasswordVerifier verifier;
    const bool made = makeVerifier(password, salt, sizeof salt, DefaultVerifierIterations, deriver, verifier);
    SecureZeroMemory(&password[0], password.size());
    if (!made) return fail("the key derivation failed.");
    write(GetStdHandle(STD_OUTPUT_HANDLE), formatVerifier(verifier) + "\r\n");
    return 0;
}

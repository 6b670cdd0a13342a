// ventrix-hash: makes the password verifier an administrator puts into the
// PasswordVerifier policy. Reads the password from standard input (without
// echo on a console; a pipe works too), draws a fresh 16-byte salt and prints
//   $pbkdf2-sha256$i=600000$<salt>$<hash>
// A verifier is made of the password's UTF-8 bytes, whatever the console's or
// the PC's code page: a console is read as wide text, a pipe as UTF-8 (a
// byte-order mark before it is dropped), and the prompts convert what is
// typed the same way, so one verifier opens every PC.
// Exit code 0 when the line was written, 1 otherwise (the reason on stderr).
#include <windows.h>

#include <string>

#include "policy/password_verifier.h"
#include "policy/win32/cng_key_deriver.h"
#include "policy/win32/wide_text.h"

namespace {

using namespace ventrix;

// The prompt takes at most this many characters, so a longer password could never be typed there.
constexpr std::size_t MaxPasswordLength = 255;
constexpr std::size_t MaxPasswordBytes = MaxPasswordLength * 4;  // each character at most 4 bytes of UTF-8
constexpr std::size_t SaltSize = MinVerifierSaltSize;

void write(HANDLE handle, const std::string& text) {
    DWORD written = 0;
    WriteFile(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

int fail(const char* reason) {
    write(GetStdHandle(STD_ERROR_HANDLE), std::string("ventrix-hash: ") + reason + "\r\n");
    return 1;
}

// One line of input, without its line end. Bytes beyond what a password
// may hold are not kept: enough has been read to know it is too long.
void readLine(HANDLE input, std::string& line) {
    char c;
    DWORD got = 0;
    while (ReadFile(input, &c, 1, &got, nullptr) && got == 1) {
        if (c == '\n') break;
        if (line.size() <= MaxPasswordBytes) line += c;
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
}

// A console line as UTF-16, turned into UTF-8.
bool readConsoleLine(HANDLE input, std::string& line) {
    std::wstring wide;
    wchar_t c;
    DWORD got = 0;
    while (ReadConsoleW(input, &c, 1, &got, nullptr) && got == 1) {
        if (c == L'\n') break;
        if (wide.size() <= MaxPasswordLength * 2) wide += c;
    }
    if (!wide.empty() && wide.back() == L'\r') wide.pop_back();
    const bool ok = utf8FromWide(wide, line);
    SecureZeroMemory(wide.data(), wide.size() * sizeof(wchar_t));
    return ok;
}

bool readPassword(std::string& password) {
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (!GetConsoleMode(input, &mode)) {
        readLine(input, password);
        if (password.compare(0, 3, "\xEF\xBB\xBF") == 0) password.erase(0, 3);  // a byte-order mark
        return true;
    }
    const HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
    write(error, "Password: ");
    SetConsoleMode(input, mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
    const bool ok = readConsoleLine(input, password);
    SetConsoleMode(input, mode);
    write(error, "\r\n");
    return ok;
}

}  // namespace

int main() {
    std::string password;
    if (!readPassword(password)) return fail("the password could not be read.");
    if (password.empty()) return fail("no password was given.");
    const std::size_t characters = utf8Characters(password);
    if (characters == InvalidUtf8) return fail("the password is not UTF-8 text.");
    if (characters > MaxPasswordLength) return fail("the password may be up to 255 characters.");

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

// The policy file against the data-protection service it is built on:
// saveConfiguration + loadConfiguration of N media records, and the bare
// CryptProtectData + CryptUnprotectData pairs on the same plaintexts (the
// password and the N record images), in alternating order, round by round.
//   bench_policy write-config FILE [verifier]
//                                     a small policy for the start-up runs; with
//                                     "verifier", its password record is a verifier
//                                     of the default password, as the service keeps it
//   bench_policy time ROUNDS N...     prints "file N us" and "bare N us" lines
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "policy/config_file.h"
#include "policy/password_verifier.h"
#include "policy/policy_tables.h"
#include "policy/win32/cng_key_deriver.h"
#include "policy/win32/dpapi_protector.h"
#include "policy/win32/event_log_audit.h"
#include "policy/win32/win32_file_system.h"

using namespace ventrix;

namespace {

constexpr const char* BenchFile = "bench_policy.conf";
constexpr const char* Password = "quillfern";

LARGE_INTEGER frequency;

double since(const LARGE_INTEGER& start) {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return double(now.QuadPart - start.QuadPart) * 1e6 / double(frequency.QuadPart);
}

void fillMedia(PolicyTables& tables, unsigned count) {
    char label[32];
    for (unsigned i = 0; i < count; ++i) {
        std::snprintf(label, sizeof label, "MEDIUM%05u", i);
        tables.addMedia(0x1000u + i, label, i % 2 ? 5 : 2);
    }
}

double timeFile(const PolicyTables& source, unsigned count) {
    PolicyTables tables = source;
    Win32FileSystem files;
    DpapiProtector protector;
    PolicyTables loaded;
    std::string password;
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    {
        ConfigFile writer(tables, files, protector);
        writer.saveConfiguration(BenchFile, Password);
    }  // released: the reader opens it anew, as the next start-up would
    ConfigFile reader(loaded, files, protector);
    reader.loadConfiguration(BenchFile, password);
    reader.closeConfiguration();
    const double us = since(start);
    if (loaded.mediaRecords().size() != count || password != Password) {
        std::fprintf(stderr, "round trip lost records: %u of %u\n",
                     unsigned(loaded.mediaRecords().size()), count);
        std::exit(1);
    }
    return us;
}

double timeBare(const std::vector<std::vector<BYTE>>& plains) {
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    for (const auto& plain : plains) {
        DATA_BLOB in{DWORD(plain.size()), const_cast<BYTE*>(plain.data())};
        DATA_BLOB sealed{0, nullptr}, opened{0, nullptr};
        if (!CryptProtectData(&in, nullptr, nullptr, nullptr, nullptr, 0, &sealed) ||
            !CryptUnprotectData(&sealed, nullptr, nullptr, nullptr, nullptr, 0, &opened)) {
            std::fprintf(stderr, "data protection failed: %lu\n", GetLastError());
            std::exit(1);
        }
        LocalFree(sealed.pbData);
        LocalFree(opened.pbData);
    }
    return since(start);
}

std::vector<std::vector<BYTE>> plaintextsOf(const PolicyTables& tables) {
    std::vector<std::vector<BYTE>> plains;
    plains.emplace_back(Password, Password + std::strlen(Password) + 1);
    for (const LockedMediaRecord& record : tables.mediaRecords()) {
        const auto* bytes = reinterpret_cast<const BYTE*>(&record);
        plains.emplace_back(bytes, bytes + sizeof record);
    }
    return plains;
}

int writeConfig(const char* file, bool asVerifier) {
    PolicyTables tables;
    fillMedia(tables, 3);
    tables.setDriveLocked("M:\\", false);  // the arrival drive, flagged unlocked
    std::string password = DefaultPassword;
    if (asVerifier) {
        // What the service's own first start would write: the default
        // password's verifier at the tool's count, a fresh salt.
        std::uint8_t salt[MinVerifierSaltSize];
        CngKeyDeriver keys;
        PasswordVerifier verifier;
        if (!systemRandomBytes(salt, sizeof salt) ||
            !makeVerifier(DefaultPassword, salt, sizeof salt, DefaultVerifierIterations, keys, verifier))
            return 1;
        password = formatVerifier(verifier);
    }
    Win32FileSystem files;
    DpapiProtector protector;
    ConfigFile config(tables, files, protector);
    return config.saveConfiguration(file, password) == 1 ? 0 : 1;
}

// The audit event an ejecting arrival writes, through the program's own sink:
// microseconds per event, in blocks.
int timeEvents(int blocks, int calls) {
    EventLogAudit audit;
    for (int b = 0; b < blocks; ++b) {
        LARGE_INTEGER start, end;
        QueryPerformanceCounter(&start);
        for (int i = 0; i < calls; ++i) {
            audit.report(AuditEvent::MediumEjected, {"M:\\", "BENCHDISC", "5EA1BEEF", ReasonMediumListed});
        }
        QueryPerformanceCounter(&end);
        std::printf("event %.2f\n", double(end.QuadPart - start.QuadPart) * 1e6 / double(frequency.QuadPart) / calls);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    QueryPerformanceFrequency(&frequency);
    if ((argc == 3 || (argc == 4 && std::strcmp(argv[3], "verifier") == 0)) &&
        std::strcmp(argv[1], "write-config") == 0)
        return writeConfig(argv[2], argc == 4);
    if (argc == 4 && std::strcmp(argv[1], "events") == 0) return timeEvents(std::atoi(argv[2]), std::atoi(argv[3]));
    if (argc < 4 || std::strcmp(argv[1], "time") != 0) {
        std::fprintf(stderr, "usage: bench_policy write-config FILE [verifier] | time ROUNDS N... | events BLOCKS CALLS\n");
        return 2;
    }
    const int rounds = std::atoi(argv[2]);
    std::vector<unsigned> sizes;
    std::vector<PolicyTables> tables;
    std::vector<std::vector<std::vector<BYTE>>> plains;
    for (int i = 3; i < argc; ++i) {
        sizes.push_back(unsigned(std::atoi(argv[i])));
        tables.emplace_back();
        fillMedia(tables.back(), sizes.back());
        plains.push_back(plaintextsOf(tables.back()));
    }
    for (int round = 0; round < rounds; ++round) {
        for (std::size_t i = 0; i < sizes.size(); ++i) {
            double file, bare;
            if (round % 2) {
                bare = timeBare(plains[i]);
                file = timeFile(tables[i], sizes[i]);
            } else {
                file = timeFile(tables[i], sizes[i]);
                bare = timeBare(plains[i]);
            }
            std::printf("file %u %.0f\nbare %u %.0f\n", sizes[i], file, sizes[i], bare);
            std::fflush(stdout);
        }
    }
    DeleteFileA(BenchFile);
    return 0;
}

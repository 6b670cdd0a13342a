// Filling the locked-media list with N addMedia calls (each checks for a
// duplicate first, so the fill is quadratic) and walking it with the cursor.
//   bench_tables ROUNDS N...   prints "tables N us" lines, sizes interleaved
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "policy/policy_tables.h"

namespace {

double fillAndWalk(unsigned count) {
    char label[32];
    const auto start = std::chrono::steady_clock::now();
    ventrix::PolicyTables tables;
    for (unsigned i = 0; i < count; ++i) {
        std::snprintf(label, sizeof label, "MEDIUM%05u", i);
        tables.addMedia(0x1000u + i, label, i % 2 ? 5 : 2);
    }
    std::uint32_t serial = 0, type = 0;
    std::string text;
    unsigned walked = 0;
    tables.resetMediaCursor();
    while (tables.nextMedia(serial, text, type)) ++walked;
    const std::chrono::duration<double, std::micro> took = std::chrono::steady_clock::now() - start;
    if (walked != count) {
        std::fprintf(stderr, "walked %u of %u records\n", walked, count);
        std::exit(1);
    }
    return took.count();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: bench_tables ROUNDS N...\n");
        return 2;
    }
    const int rounds = std::atoi(argv[1]);
    for (int round = 0; round < rounds; ++round) {
        for (int i = 2; i < argc; ++i) {
            const unsigned count = unsigned(std::atoi(argv[i]));
            std::printf("tables %u %.0f\n", count, fillAndWalk(count));
        }
    }
    return 0;
}

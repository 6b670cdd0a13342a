// A broken invariant aborts: libFuzzer then reports a crash with the input
// that caused it. Shared by the fuzz targets.
#pragma once

#include <cstdio>
#include <cstdlib>

[[noreturn]] inline void violated(const char* what) {
    std::fprintf(stderr, "invariant violated: %s\n", what);
    std::abort();
}

#define CHECK(condition)                        \
    do {                                        \
        if (!(condition)) violated(#condition); \
    } while (0)

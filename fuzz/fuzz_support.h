// Shared by the fuzz targets: the start-up buffers the main unit works in, made once per process,
// and a writable NUL-terminated copy of a fuzz input.
#ifndef BRIVANTA_FUZZ_SUPPORT_H
#define BRIVANTA_FUZZ_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "BrivantaFwUpgrade.h"

namespace fuzz {

// The buffers live for the whole process, as they do for a real run.
inline void ensureStartupBuffers() {
    static const bool made = allocateStartupBuffers() != FALSE;
    if (!made) abort();
}

// The input as text: a copy ending in a NUL (an embedded NUL ends the text earlier, as it would
// for the program).
inline std::vector<char> textOf(const uint8_t* data, size_t size) {
    std::vector<char> text(data, data + size);
    text.push_back('\0');
    return text;
}

// A broken promise about the code under test: report it and stop, so that libFuzzer keeps the
// input as a crash.
[[noreturn]] inline void fail(const char* what) {
    fprintf(stderr, "fuzz check failed: %s\n", what);
    abort();
}

inline void check(bool holds, const char* what) {
    if (!holds) fail(what);
}

}  // namespace fuzz

#endif  // BRIVANTA_FUZZ_SUPPORT_H

// Commits each kind of fault the sanitizers of the test build must catch, one per run, chosen by
// the argument: "leak", "overflow" or "signed-overflow". The tests that run it pass only when the
// sanitizer reports the fault, so a build or an environment that silences one (for instance
// ASAN_OPTIONS=detect_leaks=0) fails the test suite instead of hiding real faults.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Kept where the optimiser cannot see through it.
volatile int gSink;
void* volatile gDropped;

int leak() {
    gDropped = malloc(64);
    gDropped = nullptr;
    return 0;
}

int overflow() {
    char* block = static_cast<char*>(malloc(8));
    const volatile size_t oneTooMany = 9;
    memset(block, 0, oneTooMany);
    gSink = block[0];
    free(block);
    return 0;
}

int signedOverflow() {
    volatile int big = INT_MAX;
    gSink = big + 1;
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const char* fault = argc > 1 ? argv[1] : "";
    if (strcmp(fault, "leak") == 0) return leak();
    if (strcmp(fault, "overflow") == 0) return overflow();
    if (strcmp(fault, "signed-overflow") == 0) return signedOverflow();
    fprintf(stderr, "usage: %s leak|overflow|signed-overflow\n", argv[0]);
    return 2;
}

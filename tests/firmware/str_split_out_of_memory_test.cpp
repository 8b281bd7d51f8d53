// The token splitter when its table cannot grow: linked with --wrap=realloc, so that a chosen
// growth of the table fails. The run must end with the message and a failure status, the table
// built so far released (the leak checker runs at that exit).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "StringOperations.h"

namespace {
int growthsBeforeFailure = -1;  // -1: never fail
}  // namespace

extern "C" void* __real_realloc(void* block, size_t size);

extern "C" void* __wrap_realloc(void* block, size_t size) {
    if (growthsBeforeFailure == 0) return nullptr;
    if (growthsBeforeFailure > 0) --growthsBeforeFailure;
    return __real_realloc(block, size);
}

namespace {

// Splits a text of `tokens` tokens with the given growth failing; the message goes to stderr so
// that the death test can match it.
void splitWithFailingGrowth(int tokens, int failingGrowth) {
    dup2(STDERR_FILENO, STDOUT_FILENO);
    std::string text;
    for (int i = 0; i < tokens; ++i) text += ":record";
    growthsBeforeFailure = failingGrowth;
    free(str_split(text.data(), ":"));
}

TEST(StrSplitOutOfMemory, EndsTheRunWithTheMessageAndAFailureStatus) {
    // The first growth (no table yet) and the fourth (a table of 8 entries to release).
    for (const int failingGrowth : {0, 3}) {
        SCOPED_TRACE(failingGrowth);
        EXPECT_EXIT(splitWithFailingGrowth(20, failingGrowth),
                    testing::ExitedWithCode(EXIT_FAILURE), "^Memoire insuffisante\n$");
    }
}

}  // namespace

// A whole image text through image assembly: tokens of any length, offsets beyond the buffer,
// any record types. Nothing may be written outside the flat image (the 16 guard bytes behind it
// stay 0, and ASan watches the rest), and a successful pass leaves an image length inside it.
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::ensureStartupBuffers();
    std::vector<char> text = fuzz::textOf(data, size);

    const BOOL passed = ValidateFwAndConcatenateData(text.data());

    fuzz::check(gDataConcatenatedLenght >= 0 && gDataConcatenatedLenght <= CONCAT_BUFFER_SIZE,
                "image length inside the flat image");
    for (int guard = 0; guard < 16; ++guard) {
        fuzz::check(gDataConcatenated[CONCAT_BUFFER_SIZE + guard] == 0, "guard bytes untouched");
    }
    if (passed) imageChecksum(gDataConcatenated, gDataConcatenatedLenght);
    return 0;
}

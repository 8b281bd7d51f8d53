// The identification path's handling of a version reply: line breaks become spaces, then the
// seven fields are parsed. The model word must stay inside its 8-byte field and be a word.
#include <cstring>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<char> text = fuzz::textOf(data, size);
    StrRemoveNL(text.data(), ' ');
    fuzz::check(strpbrk(text.data(), "\r\n") == nullptr, "no line break left");

    VersionReply version = {0, 0, 0, {'#', '#', '#', '#', '#', '#', '#', '#'}, 0, 0, -1};
    const int fields = parseVersionReply(text.data(), &version);
    fuzz::check(fields >= 0 && fields <= 7, "field count 0 to 7");
    if (fields >= 4) {
        const size_t length = strnlen(version.model, sizeof version.model);
        fuzz::check(length >= 1 && length < sizeof version.model, "model word fits its field");
        fuzz::check(strpbrk(version.model, " \t\v\f") == nullptr, "model word holds no space");
    }
    if (fields < 7) fuzz::check(version.fpga_type == -1, "device code only from a whole reply");
    return 0;
}

// Base64: decoding any text into a buffer of exactly the capacity announced, the second call
// with the capacity the first one asked for, and the encode/decode round trip of any bytes.
#include <cstring>
#include <memory>

#include "Encoder.h"
#include "fuzz_support.h"

namespace {

// The first input byte picks the capacity of the first try.
void checkDecode(const unsigned char* src, int slen, int firstCapacity) {
    int dlen = firstCapacity;
    auto dst = std::make_unique<unsigned char[]>(static_cast<size_t>(firstCapacity) + 1);
    const int result = base64_decode(dst.get(), dlen, src, slen);
    if (result == 0) {
        fuzz::check(dlen >= 0 && dlen <= firstCapacity, "decoded length within the capacity");
        return;
    }
    fuzz::check(result == -1, "decode returns 0 or -1");
    if (dlen == firstCapacity) return;  // invalid input: dlen untouched
    fuzz::check(dlen > firstCapacity, "a refused capacity is raised");
    const int needed = dlen;
    auto retry = std::make_unique<unsigned char[]>(static_cast<size_t>(needed));
    fuzz::check(base64_decode(retry.get(), dlen, src, slen) == 0, "the asked capacity is enough");
    fuzz::check(dlen <= needed, "decoded length within the asked capacity");
}

void checkRoundTrip(const unsigned char* bytes, int length) {
    if (length == 0) return;
    int textCapacity = 0;
    fuzz::check(base64_encode(nullptr, textCapacity, bytes, length) == -1, "capacity 0 refused");
    auto text = std::make_unique<unsigned char[]>(static_cast<size_t>(textCapacity));
    int textLength = textCapacity;
    fuzz::check(base64_encode(text.get(), textLength, bytes, length) == 0, "encode fits");
    fuzz::check(textLength == textCapacity - 1 && text[textLength] == '\0', "text and its NUL");
    int decodedLength = length + 2;  // a last group with pad asks for up to two bytes more
    auto decoded = std::make_unique<unsigned char[]>(static_cast<size_t>(decodedLength));
    fuzz::check(base64_decode(decoded.get(), decodedLength, text.get(), textLength) == 0,
                "encoded text decodes");
    fuzz::check(decodedLength == length && memcmp(decoded.get(), bytes, length) == 0,
                "round trip gives the bytes back");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const int slen = static_cast<int>(size - 1);
    checkDecode(data + 1, slen, data[0]);
    checkRoundTrip(data + 1, slen);
    return 0;
}

// Base64 codec: lengths and pads, capacities, line breaks, every rejected input.
#include "Encoder.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

namespace {

const unsigned char* bytes(const std::string& s) {
    return reinterpret_cast<const unsigned char*>(s.data());
}

int encodeInto(std::vector<unsigned char>& dst, int& dlen, const std::string& src) {
    return base64_encode(dst.data(), dlen, bytes(src), static_cast<int>(src.size()));
}

int decodeInto(std::vector<unsigned char>& dst, int& dlen, const std::string& src) {
    return base64_decode(dst.data(), dlen, bytes(src), static_cast<int>(src.size()));
}

std::string encoded(const std::string& src) {
    std::vector<unsigned char> dst(src.size() * 2 + 8, 0xEE);
    int dlen = static_cast<int>(dst.size());
    EXPECT_EQ(encodeInto(dst, dlen, src), 0);
    EXPECT_EQ(dst[static_cast<size_t>(dlen)], '\0');
    return std::string(dst.begin(), dst.begin() + dlen);
}

std::string decoded(const std::string& text) {
    std::vector<unsigned char> dst(text.size() + 8, 0xEE);
    int dlen = static_cast<int>(dst.size());
    EXPECT_EQ(decodeInto(dst, dlen, text), 0) << text;
    return std::string(dst.begin(), dst.begin() + dlen);
}

using Codec = int (*)(unsigned char*, int&, const unsigned char*, int);

struct CapacityCase {
    std::string in;
    int capacity;
    int result;
    int dlenAfter;
    std::string out;  // what a 0 result wrote
};

// A -1 writes nothing; the encoder's 0 also leaves a NUL after the text.
void expectCapacityCases(Codec codec, const std::vector<CapacityCase>& cases) {
    for (const auto& c : cases) {
        SCOPED_TRACE(c.in + " capacity " + std::to_string(c.capacity));
        const std::vector<unsigned char> untouched(16, 0xEE);
        std::vector<unsigned char> dst = untouched;
        int dlen = c.capacity;
        EXPECT_EQ(codec(dst.data(), dlen, bytes(c.in), static_cast<int>(c.in.size())), c.result);
        EXPECT_EQ(dlen, c.dlenAfter);
        if (c.result != 0) {
            EXPECT_EQ(dst, untouched);
            continue;
        }
        EXPECT_EQ(std::string(dst.begin(), dst.begin() + dlen), c.out);
        if (codec == base64_encode) {
            EXPECT_EQ(dst[static_cast<size_t>(dlen)], '\0');
        }
    }
}

struct EncodeCase {
    std::string in;
    std::string out;
};

TEST(Base64Encode, LengthsAndPads) {
    const EncodeCase cases[] = {
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
        {std::string("\x00\x00\x00", 3), "AAAA"},
        {"\xFB\xFF\xBF", "+/+/"},
        {"\xFF", "/w=="},
    };
    for (const auto& c : cases) EXPECT_EQ(encoded(c.in), c.out) << c.out;
}

TEST(Base64Encode, EveryByteValueRoundTrips) {
    std::string all;
    for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
    for (size_t n = 253; n <= 256; ++n)
        EXPECT_EQ(decoded(encoded(all.substr(0, n))), all.substr(0, n));
}

TEST(Base64Encode, ZeroBytesTouchesNothing) {
    std::vector<unsigned char> dst(4, 0xEE);
    int dlen = 4;
    EXPECT_EQ(encodeInto(dst, dlen, ""), 0);
    EXPECT_EQ(dlen, 4);
    EXPECT_EQ(dst, std::vector<unsigned char>(4, 0xEE));
}

TEST(Base64Encode, CapacityMustHoldTextAndNul) {
    expectCapacityCases(base64_encode, {
                                           {"abc", 4, -1, 5, ""},
                                           {"abc", 5, 0, 4, "YWJj"},
                                           {"a", 0, -1, 5, ""},
                                           {"a", -3, -1, 5, ""},
                                           {"abcd", 8, -1, 9, ""},
                                           {"abcd", 9, 0, 8, "YWJjZA=="},
                                       });
}

TEST(Base64Encode, LengthsBeyondIntTextAreRejectedWithoutOverflow) {
    unsigned char dst[8] = {};
    const unsigned char src[1] = {0};
    int dlen = 8;
    // Inputs are not read: the length alone decides.
    EXPECT_EQ(base64_encode(dst, dlen, src, -1), -1);
    EXPECT_EQ(dlen, 8);
    EXPECT_EQ(base64_encode(dst, dlen, src, INT_MAX), -1);
    EXPECT_EQ(dlen, 8);
    // 2^28 bytes: 8 * slen overflows 32 bits, the text length does not.
    EXPECT_EQ(base64_encode(dst, dlen, src, 1 << 28), -1);
    EXPECT_EQ(dlen, 357913945);
}

TEST(Base64Decode, LineBreaksAreIgnored) {
    const std::string plain = "Zm9vYmFyZm9vYmE=";
    EXPECT_EQ(decoded(plain), "foobarfooba");
    for (const std::string& text :
         {std::string("Zm9v\r\nYmFy\r\nZm9v\r\nYmE="), std::string("Zm9v\nYmFy\nZm9v\nYmE=\n"),
          std::string("\r\nZm9vYmFyZm9vYm\nE=\r\n"), std::string("Zm9vYmFyZm9vYmE\n=")}) {
        EXPECT_EQ(decoded(text), "foobarfooba");
    }
}

TEST(Base64Decode, RejectedInputLeavesOutputAndLengthAlone) {
    const std::string rejected[] = {
        "Zm9v\rYmFy",  // CR without LF
        "Zm9vYmFy\r",  // CR as the last byte
        "Zm9v YmFy",   // space
        "Zm9v\tYmFy",  // tab
        std::string("Zm9v\0YmFy", 9),
        "Zm9v\x80YmFy",  // byte of 128 or more
        "Zm9v\xFFYmFy",
        "Zm9vY===",  // third pad
        "Zg==\r\n=",
        "Zg=a",  // alphabet after a pad
        "Zm8=\nZm8=",
        "Zm9v-_",  // URL-safe alphabet
    };
    for (const auto& text : rejected) {
        SCOPED_TRACE(testing::PrintToString(text));
        std::vector<unsigned char> dst(16, 0xEE);
        int dlen = 16;
        EXPECT_EQ(decodeInto(dst, dlen, text), -1);
        EXPECT_EQ(dlen, 16);
        EXPECT_EQ(dst, std::vector<unsigned char>(16, 0xEE));
    }
}

TEST(Base64Decode, NothingToDecodeKeepsLength) {
    for (const std::string& text : {std::string(), std::string("\r\n\n\r\n")}) {
        std::vector<unsigned char> dst(4, 0xEE);
        int dlen = 4;
        EXPECT_EQ(decodeInto(dst, dlen, text), 0);
        EXPECT_EQ(dlen, 4);
        EXPECT_EQ(dst, std::vector<unsigned char>(4, 0xEE));
    }
}

TEST(Base64Decode, CapacityCountsPadsToo) {
    expectCapacityCases(base64_decode, {
                                           {"Zg==", 1, -1, 3, ""},
                                           {"Zg==", 3, 0, 1, "f"},
                                           {"Zm8=", 2, -1, 3, ""},
                                           {"Zm8=", 3, 0, 2, "fo"},
                                           {"Zm9v", 2, -1, 3, ""},
                                           {"Zm9v\r\n", 3, 0, 3, "foo"},
                                           {"Zm9vYg", 3, -1, 5, ""},
                                           {"Zm9vYg", 5, 0, 3, "foo"},  // incomplete group dropped
                                           {"Zm9vY", 4, 0, 3, "foo"},
                                           {"==", 2, 0, 0, ""},
                                       });
}

TEST(Base64Decode, NegativeLengthIsRejected) {
    unsigned char dst[4] = {};
    int dlen = 4;
    EXPECT_EQ(base64_decode(dst, dlen, bytes("Zg=="), -1), -1);
    EXPECT_EQ(dlen, 4);
}

}  // namespace

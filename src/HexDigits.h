// Hex digit decoding shared by StringOperations and IntelHex. Inline so that the record reader,
// which decodes every field of every record line, does not pay a call per digit pair.
#ifndef HEXDIGITS_H
#define HEXDIGITS_H

#include <array>
#include <cstddef>
#include <cstdint>

namespace hexdigits {

// Digit values of every 8-bit code; anything that is not a hex digit is worth 0.
constexpr std::array<uint8_t, 256> makeDigitValues() {
    std::array<uint8_t, 256> values{};
    for (int code = '0'; code <= '9'; ++code) values[code] = static_cast<uint8_t>(code - '0');
    for (int code = 'A'; code <= 'F'; ++code) values[code] = static_cast<uint8_t>(code - 'A' + 10);
    for (int code = 'a'; code <= 'f'; ++code) values[code] = static_cast<uint8_t>(code - 'a' + 10);
    return values;
}

inline constexpr std::array<uint8_t, 256> DIGIT_VALUES = makeDigitValues();

inline uint8_t digitValue(char c) {
    return DIGIT_VALUES[static_cast<unsigned char>(c)];
}

// Byte values of every pair of 8-bit codes, indexed by first code * 256 + second code: one
// lookup per byte where the record reader decodes a whole line (two lookups per byte made the
// compiler vectorise the decoding loop into something twice as slow). Filled at start-up rather
// than at compile time, which would exceed some compilers' evaluation limits.
inline std::array<uint8_t, 65536> makePairValues() {
    std::array<uint8_t, 65536> values{};
    for (size_t index = 0; index < values.size(); ++index) {
        values[index] =
            static_cast<uint8_t>(DIGIT_VALUES[index >> 8] << 4 | DIGIT_VALUES[index & 0xFF]);
    }
    return values;
}

inline const std::array<uint8_t, 65536> PAIR_VALUES = makePairValues();

// The byte of the two characters at `pair`; the caller knows both lie before the NUL.
inline uint8_t pairValue(const char* pair) {
    return PAIR_VALUES[static_cast<size_t>(static_cast<unsigned char>(pair[0])) << 8 |
                       static_cast<unsigned char>(pair[1])];
}

}  // namespace hexdigits

#endif  // HEXDIGITS_H

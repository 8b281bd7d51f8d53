// Hex digit decoding shared by StringOperations and IntelHex. Inline so that the record reader,
// which decodes every field of every record line, does not pay a call per digit pair.
#ifndef HEXDIGITS_H
#define HEXDIGITS_H

#include <array>
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

// The byte of the two characters at `pair`; the caller knows both lie before the NUL.
inline uint8_t pairValue(const char* pair) {
    return static_cast<uint8_t>(digitValue(pair[0]) << 4 | digitValue(pair[1]));
}

}  // namespace hexdigits

#endif  // HEXDIGITS_H

#include "Encoder.h"

#include <climits>
#include <cstdint>
#include <cstring>

namespace {

constexpr unsigned char base64_enc_map[64] = {
    'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J', 'K', 'L', 'M', 'N', 'O', 'P',
    'Q', 'R', 'S', 'T', 'U', 'V', 'W', 'X', 'Y', 'Z', 'a', 'b', 'c', 'd', 'e', 'f',
    'g', 'h', 'i', 'j', 'k', 'l', 'm', 'n', 'o', 'p', 'q', 'r', 's', 't', 'u', 'v',
    'w', 'x', 'y', 'z', '0', '1', '2', '3', '4', '5', '6', '7', '8', '9', '+', '/'};

// 7-bit character code -> value 0..63; "=" is 64; everything else (line breaks included) 127.
const unsigned char base64_dec_map[128] = {
    127, 127, 127, 127, 127, 127, 127, 127, 127, 127, 127, 127, 127, 127, 127, 127, 127, 127, 127,
    127, 127, 127, 127, 127, 127, 127, 127, 127, 127, 127, 127, 127, 127, 127, 127, 127, 127, 127,
    127, 127, 127, 127, 127, 62,  127, 127, 127, 63,  52,  53,  54,  55,  56,  57,  58,  59,  60,
    61,  127, 127, 127, 64,  127, 127, 127, 0,   1,   2,   3,   4,   5,   6,   7,   8,   9,   10,
    11,  12,  13,  14,  15,  16,  17,  18,  19,  20,  21,  22,  23,  24,  25,  127, 127, 127, 127,
    127, 127, 26,  27,  28,  29,  30,  31,  32,  33,  34,  35,  36,  37,  38,  39,  40,  41,  42,
    43,  44,  45,  46,  47,  48,  49,  50,  51,  127, 127, 127, 127, 127};

constexpr unsigned char PAD = '=';
constexpr unsigned char PAD_VALUE = 64;
constexpr unsigned char INVALID = 127;

// Text length of `slen` bytes, 64-bit so that no input length can overflow it.
int64_t encodedLength(int slen) {
    return (static_cast<int64_t>(slen) + 2) / 3 * 4;
}

unsigned char encChar(uint32_t sixBits) {
    return base64_enc_map[sixBits & 63u];
}

// Every 12-bit value as its two characters: one look-up per character pair halves the work of
// the encoder's inner loop. Built from base64_enc_map at compile time.
struct CharPairs {
    unsigned char pair[4096][2];
};

constexpr CharPairs makeCharPairs() {
    CharPairs pairs{};
    for (unsigned v = 0; v < 4096; ++v) {
        pairs.pair[v][0] = base64_enc_map[v >> 6];
        pairs.pair[v][1] = base64_enc_map[v & 63u];
    }
    return pairs;
}

constexpr CharPairs base64_enc_pairs = makeCharPairs();

void encodeGroups(unsigned char* dst, const unsigned char* src, int groups) {
    for (int g = 0; g < groups; ++g, src += 3, dst += 4) {
        const uint32_t v = (uint32_t{src[0]} << 16) | (uint32_t{src[1]} << 8) | src[2];
        memcpy(dst, base64_enc_pairs.pair[v >> 12], 2);
        memcpy(dst + 2, base64_enc_pairs.pair[v & 4095u], 2);
    }
}

// One or two bytes left after the whole groups; writes four characters, padded with "=".
void encodeTail(unsigned char* dst, const unsigned char* src, int left) {
    const uint32_t b0 = src[0];
    const uint32_t b1 = left == 2 ? src[1] : 0u;
    dst[0] = encChar(b0 >> 2);
    dst[1] = encChar(((b0 & 3u) << 4) | (b1 >> 4));
    dst[2] = left == 2 ? encChar((b1 & 15u) << 2) : PAD;
    dst[3] = PAD;
}

bool isCrBeforeLf(const unsigned char* src, int i, int slen) {
    return src[i] == '\r' && i + 1 < slen && src[i + 1] == '\n';
}

// Checks the input and counts its characters ("=" included); -1 on anything but the alphabet,
// at most two "=" with nothing but line breaks after them, and line breaks (LF, CR LF).
int countBase64Chars(const unsigned char* src, int slen) {
    int count = 0;
    int pads = 0;
    for (int i = 0; i < slen; ++i) {
        const unsigned char c = src[i];
        if (c == '\n' || isCrBeforeLf(src, i, slen)) continue;
        if (c == PAD && ++pads > 2) return -1;
        if (c >= 128 || base64_dec_map[c] == INVALID) return -1;
        if (base64_dec_map[c] < PAD_VALUE && pads != 0) return -1;
        ++count;
    }
    return count;
}

// Input already checked. A trailing group of fewer than four characters writes nothing.
int decodeChecked(unsigned char* dst, const unsigned char* src, int slen) {
    uint32_t group = 0;
    int position = 0;
    int keep = 3;
    int written = 0;
    for (int i = 0; i < slen; ++i) {
        const unsigned char c = src[i];
        if (c == '\r' || c == '\n') continue;
        if (c == PAD) --keep;
        group = (group << 6) | (base64_dec_map[c] & 63u);
        if (++position < 4) continue;
        position = 0;
        if (keep >= 1) dst[written++] = static_cast<unsigned char>(group >> 16);
        if (keep >= 2) dst[written++] = static_cast<unsigned char>(group >> 8);
        if (keep >= 3) dst[written++] = static_cast<unsigned char>(group);
    }
    return written;
}

}  // namespace

int base64_encode(unsigned char* dst, int& dlen, const unsigned char* src, int slen) {
    if (slen < 0) return -1;
    if (slen == 0) return 0;
    const int64_t needed = encodedLength(slen) + 1;
    if (needed > INT_MAX) return -1;  // the text would not be countable in dlen
    if (dlen < needed) {
        dlen = static_cast<int>(needed);
        return -1;
    }
    const int groups = slen / 3;
    const int left = slen % 3;
    encodeGroups(dst, src, groups);
    if (left != 0) encodeTail(dst + 4 * groups, src + 3 * groups, left);
    dst[needed - 1] = '\0';
    dlen = static_cast<int>(needed - 1);
    return 0;
}

int base64_decode(unsigned char* dst, int& dlen, const unsigned char* src, int slen) {
    if (slen < 0) return -1;
    const int count = countBase64Chars(src, slen);
    if (count <= 0) return count;
    const int64_t needed = (6 * static_cast<int64_t>(count) + 7) / 8;
    if (dlen < needed) {
        dlen = static_cast<int>(needed);
        return -1;
    }
    dlen = decodeChecked(dst, src, slen);
    return 0;
}

// One Intel HEX record line: validity, fields and data bytes, including damaged and short lines.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "IntelHex.h"

namespace {

// An exact-size heap copy, so that the sanitizer sees any read past the NUL.
std::vector<char> exactCopy(const std::string& text) {
    return std::vector<char>(text.c_str(), text.c_str() + text.size() + 1);
}

struct FreeDeleter {
    void operator()(uint8_t* p) const { free(p); }
};
using DataArray = std::unique_ptr<uint8_t, FreeDeleter>;

struct LineCase {
    std::string line;
    bool valid;
    uint8_t dataLength;
    uint16_t address;  // as the reader reports it: 0 for an invalid line
    uint8_t recordType;
    bool isData;
    bool isExtendedLinearAddress;
    std::vector<uint8_t> data;  // meaningful for valid lines only
};

void expectLineReadsAs(const LineCase& c) {
    SCOPED_TRACE("line \"" + c.line + "\"");
    const std::vector<char> copy = exactCopy(c.line);
    const char* line = copy.data();
    EXPECT_EQ(intel_hex_line_is_valid(line),
              c.valid ? INTEL_HEX_STRING_OK : INTEL_HEX_STRING_INVALID);
    EXPECT_EQ(intel_hex_line_data_length(line), c.dataLength);
    EXPECT_EQ(intel_hex_line_address(line), c.address);
    EXPECT_EQ(intel_hex_line_record_type(line), c.recordType);
    EXPECT_EQ(intel_hex_line_is_data_record(line), c.isData ? 1 : 0);
    EXPECT_EQ(intel_hex_line_is_extended_linear_address_record(line),
              c.isExtendedLinearAddress ? 1 : 0);
    const DataArray data(new_u8_data_array_from_intel_hex_string(line));
    if (!c.valid) {
        EXPECT_EQ(data, nullptr);
        return;
    }
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(std::vector<uint8_t>(data.get(), data.get() + c.dataLength), c.data);
}

const std::vector<uint8_t> FIRST_CONTROLLER_DATA = {0x48, 0x1F, 0xD7, 0x03, 0x80, 0x01, 0x51, 0x7C,
                                                    0xE0, 0x8F, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00};

TEST(IntelHexLine, WellFormedRecords) {
    const LineCase cases[] = {
        {":0200000480007A", true, 2, 0, 4, false, true, {0x80, 0x00}},
        {":10800000481FD7038001517CE08F10000000000062", true, 16, 0x8000, 0, true, false,
         FIRST_CONTROLLER_DATA},
        {":10800000481fd7038001517ce08f10000000000062", true, 16, 0x8000, 0, true, false,
         FIRST_CONTROLLER_DATA},
        {":00000001FF", true, 0, 0, 1, false, false, {}},
        {":020000021000EC", true, 2, 0, 2, false, false, {0x10, 0x00}},
        {":0400000580008008EF", true, 4, 0, 5, false, false, {0x80, 0x00, 0x80, 0x08}},
    };
    for (const auto& c : cases) expectLineReadsAs(c);
}

TEST(IntelHexLine, LenientReading) {
    const LineCase cases[] = {
        // Characters between the data and the last two are ignored.
        {":020000048000007A", true, 2, 0, 4, false, true, {0x80, 0x00}},
        // Only the type's second character counts.
        {":021234100102A5", true, 2, 0x1234, 0, true, false, {0x01, 0x02}},
        {":020000140001E9", true, 2, 0, 4, false, true, {0x00, 0x01}},
        {":0200000A0001F3", true, 2, 0, 17, false, false, {0x00, 0x01}},
        // A line end still attached is read as the checksum 0.
        {":0200000480007A\r\n", false, 2, 0, 4, false, true, {}},
        {":0000000000\r\n", true, 0, 0, 0, true, false, {}},
        // A non-digit counts as 0: "G0" reads as the length 0, so ":G0000000..." sums to 0.
        {":G0000000000", true, 0, 0, 0, true, false, {}},
    };
    for (const auto& c : cases) expectLineReadsAs(c);
}

TEST(IntelHexLine, DamagedRecordsAreInvalidButFieldsStillRead) {
    const LineCase cases[] = {
        {":0200000480007B", false, 2, 0, 4, false, true, {}},
        {":10800000481FD7038001517CE08F10000000000063", false, 16, 0, 0, true, false, {}},
        {":00000001FE", false, 0, 0, 1, false, false, {}},
        {"X0200000480007A", false, 2, 0, 4, false, true, {}},
        {" :00000001FF", false, 0, 0, 0, true, false, {}},
    };
    for (const auto& c : cases) expectLineReadsAs(c);
}

// Lines shorter than their data length implies are refused without reading past their end.
TEST(IntelHexLine, ShortLinesAreInvalidAndReadSafely) {
    const LineCase cases[] = {
        {"", false, 0, 0, 0xD0, false, false, {}},
        {":", false, 0, 0, 0xD0, false, false, {}},
        {":0", false, 0, 0, 0xD0, false, false, {}},
        {":02", false, 2, 0, 0xD0, false, false, {}},
        {":020000", false, 2, 0, 0xD0, false, false, {}},
        {":02000004", false, 2, 0, 4, false, true, {}},
        {":0000000", false, 0, 0, 0xD0, false, false, {}},
        // 11 + 2n characters needed: a checksum that would match the truncated sum is refused.
        {":020000048000", false, 2, 0, 4, false, true, {}},
        {":10800000481FD70362", false, 16, 0, 0, true, false, {}},
        {":FF000000" + std::string(20, '0'), false, 0xFF, 0, 0, true, false, {}},
    };
    for (const auto& c : cases) expectLineReadsAs(c);
}

std::string hexByte(unsigned value) {
    static const char* digits = "0123456789ABCDEF";
    return {digits[(value >> 4) & 0xF], digits[value & 0xF]};
}

// A type-0 record at address 0 with n data bytes of `fill` and the given checksum.
std::string dataRecord(unsigned n, unsigned fill, unsigned checksum) {
    std::string line = ":" + hexByte(n) + "000000";
    for (unsigned k = 0; k < n; ++k) line += hexByte(fill);
    return line + hexByte(checksum);
}

// More than 251 data bytes no longer fit the 8-bit count of summed bytes; such records are
// refused, whether their checksum is the true one or the one that the wrapped count would give
// (the first 0 to 3 bytes of the record: n, 0, 0).
TEST(IntelHexLine, DataLengthAbove251IsRefused) {
    const auto trueChecksum = [](unsigned n) { return (0x200 - (n + n) % 0x100) % 0x100; };
    expectLineReadsAs({dataRecord(251, 1, trueChecksum(251)), true, 251, 0, 0, true, false,
                       std::vector<uint8_t>(251, 1)});
    for (unsigned n = 252; n <= 255; ++n) {
        const unsigned wrappedChecksum = n == 252 ? 0 : 0x100 - n;
        for (const unsigned checksum : {trueChecksum(n), wrappedChecksum}) {
            expectLineReadsAs({dataRecord(n, 1, checksum),
                               false,
                               static_cast<uint8_t>(n),
                               0,
                               0,
                               true,
                               false,
                               {}});
        }
    }
}

TEST(IntelHexChecksum, TwosComplementOfTheByteSum) {
    const struct {
        std::string text;
        uint8_t count;
        uint8_t checksum;
    } cases[] = {
        {"0102", 2, 0xFD},       {"0102", 1, 0xFF}, {"FFFF", 0, 0x00},
        {"0200000480", 5, 0x7A}, {"80", 2, 0x80},  // stops at the NUL
        {"801", 4, 0x7F},                          // a lone last digit is the whole byte
        {"", 200, 0x00},
    };
    for (const auto& c : cases) {
        const std::vector<char> text = exactCopy(c.text);
        EXPECT_EQ(u8_checksum_from_hex_string(text.data(), c.count), c.checksum)
            << '"' << c.text << "\" over " << int(c.count);
    }
}

TEST(IntelHexLine, EmptyRecordGivesAnArrayThatIsNotNull) {
    const DataArray data(new_u8_data_array_from_intel_hex_string(":00000001FF"));
    EXPECT_NE(data, nullptr);
}

}  // namespace

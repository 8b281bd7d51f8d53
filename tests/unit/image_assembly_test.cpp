// Image assembly: Intel HEX text to the flat image, its length and checksum, and the failures.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "BrivantaFwUpgrade.h"
#include "firmware/BinImage.h"

namespace {

using Bytes = std::vector<uint8_t>;

// One record line with its checksum, without line end.
std::string record(uint8_t type, uint16_t address, const Bytes& data) {
    Bytes raw = {static_cast<uint8_t>(data.size()), static_cast<uint8_t>(address >> 8),
                 static_cast<uint8_t>(address & 0xFF), type};
    raw.insert(raw.end(), data.begin(), data.end());
    uint8_t sum = 0;
    for (const uint8_t byte : raw) sum = static_cast<uint8_t>(sum + byte);
    raw.push_back(static_cast<uint8_t>(0 - sum));
    static const char* digits = "0123456789ABCDEF";
    std::string line = ":";
    for (const uint8_t byte : raw) {
        line += digits[byte >> 4];
        line += digits[byte & 0xF];
    }
    return line;
}

std::string data(uint16_t address, const Bytes& bytes) {
    return record(0, address, bytes);
}
std::string linearAddress(uint16_t upper) {
    return record(4, 0, {static_cast<uint8_t>(upper >> 8), static_cast<uint8_t>(upper & 0xFF)});
}
const std::string END_OF_FILE = ":00000001FF";

std::string lines(const std::vector<std::string>& records) {
    std::string text;
    for (const auto& r : records) text += r + "\r\n";
    return text;
}

struct Pass {
    BOOL result;
    std::string output;
};

class ImageAssembly : public testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(allocateStartupBuffers()); }
    void TearDown() override { releaseStartupBuffers(); }

    // Assembles a working copy of `text`: the text and 16 NUL bytes, as the program makes it.
    static Pass assemble(const std::string& text) {
        std::vector<char> copy(text.size() + 16, '\0');
        std::copy(text.begin(), text.end(), copy.begin());
        return assembleInPlace(copy.data());
    }

    static Pass assembleInPlace(char* workingCopy) {
        testing::internal::CaptureStdout();
        const BOOL result = ValidateFwAndConcatenateData(workingCopy);
        return {result, testing::internal::GetCapturedStdout()};
    }

    static Bytes flat(uint32_t offset, size_t count) {
        return Bytes(gDataConcatenated + offset, gDataConcatenated + offset + count);
    }

    static bool allErased(uint32_t from, uint32_t to) {
        return std::all_of(gDataConcatenated + from, gDataConcatenated + to,
                           [](uint8_t b) { return b == 0xFF; });
    }

    static bool guardBytesUntouched() {
        const Bytes guard = flat(CONCAT_BUFFER_SIZE, 16);
        return std::all_of(guard.begin(), guard.end(), [](uint8_t b) { return b == 0; });
    }
};

struct EmbeddedImage {
    int row;
    int imageLength;
    uint32_t checksum;
};

TEST_F(ImageAssembly, EmbeddedImagesGiveTheirLengthAndChecksum) {
    const EmbeddedImage images[] = {
        {0, 123960, 4278459187u}, {1, 933568, 4281666209u}, {2, 1121936, 4278101494u}};
    for (const auto& image : images) {
        SCOPED_TRACE(AUTOGEN_FILES[image.row].filePath);
        const auto length = static_cast<size_t>(AUTOGEN_FILES[image.row].fileDataLength);
        std::vector<char> workingCopy(length + 16, '\0');
        memcpy(workingCopy.data(), AUTOGEN_FILES[image.row].fileData, length);

        const Pass pass = assembleInPlace(workingCopy.data());
        EXPECT_EQ(pass.result, TRUE);
        EXPECT_EQ(pass.output, "");
        EXPECT_EQ(gDataConcatenatedLenght, image.imageLength);
        EXPECT_EQ(imageChecksum(gDataConcatenated, gDataConcatenatedLenght), image.checksum);

        // The copy is used up: a second pass sees only the first record, an address record.
        const Pass second = assembleInPlace(workingCopy.data());
        EXPECT_EQ(second.result, TRUE);
        EXPECT_EQ(gDataConcatenatedLenght, 0);
        EXPECT_TRUE(allErased(0, CONCAT_BUFFER_SIZE));
    }
}

TEST_F(ImageAssembly, ControllerImageKeepsErasedBytesBelowAndBetweenItsRecords) {
    const auto length = static_cast<size_t>(AUTOGEN_FILES[0].fileDataLength);
    std::vector<char> workingCopy(AUTOGEN_FILES[0].fileData, AUTOGEN_FILES[0].fileData + length);
    workingCopy.resize(length + 16, '\0');
    ASSERT_EQ(assembleInPlace(workingCopy.data()).result, TRUE);
    EXPECT_TRUE(allErased(0, 0x8000));
    EXPECT_EQ(flat(0x8000, 4), (Bytes{0x48, 0x1F, 0xD7, 0x03}));
    EXPECT_TRUE(allErased(0x1AEFC, 0x1B000));
    EXPECT_TRUE(allErased(0x1DEE4, 0x1DEE8));
    EXPECT_TRUE(allErased(0x1E448, CONCAT_BUFFER_SIZE));
}

struct PlacementCase {
    const char* name;
    std::string text;
    int imageLength;
    std::vector<std::pair<uint32_t, Bytes>> expected;  // bytes at flat offsets
};

TEST_F(ImageAssembly, RecordsArePlacedAtTheirFlatOffsets) {
    const std::string a = data(0x0010, {1, 2, 3, 4});
    const std::string b = data(0x0020, {5, 6});
    const std::vector<PlacementCase> cases = {
        {"records on lines",
         lines({a, b, END_OF_FILE}),
         0x20,
         {{0x10, {1, 2, 3, 4}}, {0x20, {5, 6}}}},
        {"records separated by the colon alone",
         a + b + END_OF_FILE,
         0x20,
         {{0x10, {1, 2, 3, 4}}, {0x20, {5, 6}}}},
        {"descending records: length from the last in the text",
         lines({b, a, END_OF_FILE}),
         0x10,
         {{0x10, {1, 2, 3, 4}}, {0x20, {5, 6}}}},
        {"end of file in the middle", lines({a, END_OF_FILE, b}), 0x20, {{0x20, {5, 6}}}},
        {"linear address 0x8000 and 0x8001 give offsets 0 and 0x10000",
         lines({linearAddress(0x8000), data(0x10, {7}), linearAddress(0x8001), data(0x10, {8})}),
         0x10010,
         {{0x10, {7}}, {0x10010, {8}}}},
        {"extended segment address leaves the offset",
         lines({linearAddress(0x0001), record(2, 0, {0x10, 0x00}), data(0x10, {9})}),
         0x10010,
         {{0x10010, {9}}}},
        {"later record wins where two overlap",
         lines({data(0x10, {1, 2, 3}), data(0x11, {0xAA})}),
         0x11,
         {{0x10, {1, 0xAA, 3}}}},
        {"empty data record sets the length",
         lines({a, data(0x30, {})}),
         0x30,
         {{0x10, {1, 2, 3, 4}}, {0x30, {0xFF}}}},
        {"no wrap at the 64 KiB window",
         lines({data(0xFFFE, {1, 2, 3, 4})}),
         0xFFFE,
         {{0xFFFE, {1, 2, 3, 4}}}},
        {"text after the last line break is cut off",
         lines({a}) + "xyz",
         0x10,
         {{0x10, {1, 2, 3, 4}}}},
        {"checksum 0 read from two spaces", ":0000000000  \r\n", 0, {{0, {0xFF}}}},
        {"no data records", lines({linearAddress(1), END_OF_FILE}), 0, {{0, {0xFF}}}},
        {"44 data bytes on a line without a line break",
         data(0x10, Bytes(44, 0x5A)),
         0x10,
         {{0x10, Bytes(44, 0x5A)}}},
        {"43 data bytes with CR LF",
         lines({data(0x10, Bytes(43, 0x5A))}),
         0x10,
         {{0x10, Bytes(43, 0x5A)}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Pass pass = assemble(c.text);
        EXPECT_EQ(pass.result, TRUE);
        EXPECT_EQ(pass.output, "");
        EXPECT_EQ(gDataConcatenatedLenght, c.imageLength);
        for (const auto& [offset, bytes] : c.expected) {
            EXPECT_EQ(flat(offset, bytes.size()), bytes) << "at offset " << offset;
        }
    }
}

TEST_F(ImageAssembly, EachPassStartsFromAnErasedImage) {
    ASSERT_EQ(assemble(lines({data(0x10, {1, 2})})).result, TRUE);
    ASSERT_EQ(assemble(lines({data(0x40, {3})})).result, TRUE);
    EXPECT_EQ(flat(0x10, 2), (Bytes{0xFF, 0xFF}));
    EXPECT_EQ(gDataConcatenatedLenght, 0x40);
}

TEST_F(ImageAssembly, ChecksumIsZeroMinusTheByteSum) {
    const uint8_t image[] = {0x01, 0x02, 0x03};
    EXPECT_EQ(imageChecksum(image, 3), 4294967290u);
    EXPECT_EQ(imageChecksum(image, 0), 0u);
}

const std::string BAD_RECORD_HEADER = "\r\n intel_hex_line_is_valid \r\n";

struct RejectedRecordCase {
    const char* name;
    std::string text;
    std::string printedLine;
};

// The pass stops at the first invalid record and prints it; the records before it stay placed.
TEST_F(ImageAssembly, InvalidRecordStopsThePassAndIsPrinted) {
    const std::string placed = lines({data(0x10, {1, 2, 3, 4})});
    const std::string after = lines({data(0x40, {9})});
    const std::vector<RejectedRecordCase> cases = {
        {"wrong checksum", placed + ":0400200001020304D3\r\n" + after, ":0400200001020304D3"},
        {"percent sign printed as is", placed + ":04%s200001020304D3\r\n" + after,
         ":04%s200001020304D3"},
        {"checksum field left as two spaces", placed + ":0400200001020304  \r\n" + after,
         ":0400200001020304  "},
        {"damaged end-of-file record", placed + ":00000001FE\r\n", ":00000001FE"},
        {"short line", placed + ":1000\r\n" + after, ":1000"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Pass pass = assemble(c.text);
        EXPECT_EQ(pass.result, FALSE);
        EXPECT_EQ(pass.output, BAD_RECORD_HEADER + c.printedLine + "\r\n");
        EXPECT_EQ(gDataConcatenatedLenght, 0x10);
        EXPECT_EQ(flat(0x10, 4), (Bytes{1, 2, 3, 4}));
        EXPECT_EQ(flat(0x40, 1), Bytes{0xFF});
    }
}

TEST_F(ImageAssembly, TextBeforeTheFirstColonIsReadAsARecord) {
    const Pass pass = assemble("junk" + lines({END_OF_FILE}));
    EXPECT_EQ(pass.result, FALSE);
    EXPECT_EQ(pass.output, BAD_RECORD_HEADER + ":junk\r\n");
}

TEST_F(ImageAssembly, TextWithoutRecordsFails) {
    for (const char* text : {"", ":", ":::"}) {
        SCOPED_TRACE(text);
        gDataConcatenated[0] = 0;  // left by an earlier pass; the fill still comes first
        const Pass pass = assemble(text);
        EXPECT_EQ(pass.result, FALSE);
        EXPECT_EQ(pass.output, "\r\nNUL extractedHexLine \r\n");
        EXPECT_EQ(gDataConcatenatedLenght, 0);
        EXPECT_TRUE(allErased(0, CONCAT_BUFFER_SIZE));
    }
}

// Records the program cannot place fail the pass with a message, after the records before them,
// and nothing is written outside the flat image.
TEST_F(ImageAssembly, RecordsThatCannotBePlacedFailThePass) {
    const std::string placed = lines({data(0x10, {1, 2, 3, 4})});
    const struct {
        const char* name;
        std::string text;
    } cases[] = {
        {"token longer than 98 characters", placed + lines({data(0x20, Bytes(44, 0x5A))})},
        {"data at 4 MiB", placed + lines({linearAddress(0x0040), data(0, {1})})},
        {"data above 4 MiB", placed + lines({linearAddress(0x00FF), data(0xFFFF, {1})})},
        {"data running across 4 MiB",
         placed + lines({linearAddress(0x003F), data(0xFFFC, Bytes(8, 7))})},
        {"linear address record of one byte",
         placed + lines({record(4, 0, {0x00}), data(0x20, {1})})},
        {"linear address record without data", placed + lines({record(4, 0, {}), data(0x20, {1})})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Pass pass = assemble(c.text);
        EXPECT_EQ(pass.result, FALSE);
        EXPECT_NE(pass.output, "");
        EXPECT_EQ(gDataConcatenatedLenght, 0x10);
        EXPECT_EQ(flat(0x10, 4), (Bytes{1, 2, 3, 4}));
        EXPECT_TRUE(guardBytesUntouched());
    }
}

}  // namespace

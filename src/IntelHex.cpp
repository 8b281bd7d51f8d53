#include "IntelHex.h"

#include <cstdlib>
#include <cstring>

#include "HexDigits.h"
#include "StringOperations.h"

namespace {

constexpr size_t DATA_LENGTH_INDEX = 1;
constexpr size_t RECORD_TYPE_INDEX = 8;
// Positions in the decoded bytes of a record.
constexpr size_t DATA_LENGTH_BYTE = 0;
constexpr size_t ADDRESS_HIGH_BYTE = 1;
constexpr size_t ADDRESS_LOW_BYTE = 2;
// Length, two address bytes and the type are summed with the data; with more than 251 data
// bytes that count no longer fits the 8-bit checksum length, so such records are refused.
constexpr unsigned MAX_DATA_LENGTH = 251;
constexpr size_t FIXED_FIELD_BYTES = 4;

// The string ends before `index`: the field there reads as absent.
bool endsBefore(const char* line, size_t index) {
    for (size_t i = 0; i < index; ++i) {
        if (line[i] == '\0') return true;
    }
    return false;
}

// The byte at `index`, or 0 when the string ends before it; never reads past the NUL.
uint8_t byteAt(const char* line, size_t index) {
    return endsBefore(line, index) ? 0 : u8_from_hex_string(line + index);
}

// The summed bytes of a record: data length, address high and low, type, then the data.
struct RecordBytes {
    uint8_t bytes[FIXED_FIELD_BYTES + MAX_DATA_LENGTH];
};

// ":", the length, address, type and checksum pairs, and the data pairs.
size_t minimumLineLength(unsigned dataLength) {
    return 11 + 2 * static_cast<size_t>(dataLength);
}

// Decodes the summed bytes of a line into `record` and checks them; false for an invalid line.
// The length is checked before any field is read, so no read passes the NUL.
bool decodeValidRecord(const char* line, RecordBytes* record) {
    if (line[0] != ':') return false;
    const size_t length = strlen(line);
    if (length < minimumLineLength(0)) return false;
    const unsigned dataLength = hexdigits::pairValue(line + DATA_LENGTH_INDEX);
    if (dataLength > MAX_DATA_LENGTH || length < minimumLineLength(dataLength)) return false;
    const size_t summedBytes = FIXED_FIELD_BYTES + dataLength;
    const char* pair = line + DATA_LENGTH_INDEX;
    uint8_t sum = 0;
    for (size_t k = 0; k < summedBytes; ++k, pair += 2) {
        record->bytes[k] = hexdigits::pairValue(pair);
        sum = static_cast<uint8_t>(sum + record->bytes[k]);
    }
    // The checksum is read from the last two characters, however many follow the data.
    return static_cast<uint8_t>(0 - sum) == hexdigits::pairValue(line + length - 2);
}

}  // namespace

// Stops at the NUL: bytes beyond the string's end count as 0.
uint8_t u8_checksum_from_hex_string(const char* hexString, uint8_t numberOfBytes) {
    uint8_t sum = 0;
    const char* pair = hexString;
    for (unsigned k = 0; k < numberOfBytes && pair[0] != '\0'; ++k) {
        sum = static_cast<uint8_t>(sum + u8_from_hex_string(pair));
        if (pair[1] == '\0') break;
        pair += 2;
    }
    return static_cast<uint8_t>(0 - sum);
}

uint8_t intel_hex_start_code_present(const char* intelHexString) {
    return intelHexString[0] == ':' ? 1 : 0;
}

uint8_t intel_hex_line_data_length(const char* intelHexString) {
    return byteAt(intelHexString, DATA_LENGTH_INDEX);
}

// A line too short for its data length, or with more data bytes than the checksum can cover, is
// invalid; a longer line is read with its checksum in its last two characters.
uint8_t intel_hex_line_is_valid(const char* intelHexString) {
    RecordBytes record;
    return decodeValidRecord(intelHexString, &record) ? INTEL_HEX_STRING_OK
                                                      : INTEL_HEX_STRING_INVALID;
}

uint16_t intel_hex_line_address(const char* intelHexString) {
    RecordBytes record;
    if (!decodeValidRecord(intelHexString, &record)) return 0;
    return static_cast<uint16_t>(record.bytes[ADDRESS_HIGH_BYTE] << 8 |
                                 record.bytes[ADDRESS_LOW_BYTE]);
}

// Only the type's second character is read; a line that ends before it reads as NUL there.
uint8_t intel_hex_line_record_type(const char* intelHexString) {
    const char typeChar =
        endsBefore(intelHexString, RECORD_TYPE_INDEX) ? '\0' : intelHexString[RECORD_TYPE_INDEX];
    return static_cast<uint8_t>(typeChar - '0');
}

uint8_t intel_hex_line_is_data_record(const char* intelHexString) {
    return intel_hex_line_record_type(intelHexString) == INTEL_HEX_RECORD_DATA ? 1 : 0;
}

uint8_t intel_hex_line_is_extended_linear_address_record(const char* intelHexString) {
    return intel_hex_line_record_type(intelHexString) == INTEL_HEX_RECORD_EXTENDED_LINEAR_ADDRESS
               ? 1
               : 0;
}

// The caller frees the array. Never null for a valid line (an empty record gets a 1-byte block);
// null for an invalid line or when memory runs out.
uint8_t* new_u8_data_array_from_intel_hex_string(const char* intelHexString) {
    RecordBytes record;
    if (!decodeValidRecord(intelHexString, &record)) return nullptr;
    const uint8_t dataLength = record.bytes[DATA_LENGTH_BYTE];
    auto* data = static_cast<uint8_t*>(malloc(dataLength == 0 ? 1 : dataLength));
    if (data == nullptr) return nullptr;
    memcpy(data, record.bytes + FIXED_FIELD_BYTES, dataLength);
    return data;
}

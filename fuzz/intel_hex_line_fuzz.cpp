// One record line through every operation of the record reader. Besides memory safety, the
// answers must agree with one another: an invalid line has address 0 and no data array, a valid
// line has its data array, and nothing is read beyond the line's end (ASan sees that).
#include <cstdlib>
#include <cstring>

#include "IntelHex.h"
#include "StringOperations.h"
#include "fuzz_support.h"

namespace {

void checkDataArray(const char* line, bool valid) {
    uint8_t* data = new_u8_data_array_from_intel_hex_string(line);
    fuzz::check((data != nullptr) == valid, "data array present exactly for a valid line");
    if (data != nullptr) {
        const uint8_t length = intel_hex_line_data_length(line);
        for (uint8_t k = 0; k < length; ++k) {
            fuzz::check(data[k] == u8_from_hex_string(line + 9 + 2 * k), "data byte as read");
        }
    }
    free(data);
}

void checkTypeTests(const char* line) {
    const uint8_t type = intel_hex_line_record_type(line);
    fuzz::check(intel_hex_line_is_data_record(line) == (type == INTEL_HEX_RECORD_DATA),
                "data record test follows the type");
    fuzz::check(intel_hex_line_is_extended_linear_address_record(line) ==
                    (type == INTEL_HEX_RECORD_EXTENDED_LINEAR_ADDRESS),
                "extended linear address test follows the type");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<char> text = fuzz::textOf(data, size);
    const char* line = text.data();

    const bool valid = intel_hex_line_is_valid(line) == INTEL_HEX_STRING_OK;
    if (valid) {
        fuzz::check(intel_hex_start_code_present(line) == 1, "a valid line starts with ':'");
        fuzz::check(strlen(line) >= 11 + 2 * size_t{intel_hex_line_data_length(line)},
                    "a valid line holds its data length");
    } else {
        fuzz::check(intel_hex_line_address(line) == 0, "an invalid line has address 0");
    }
    checkDataArray(line, valid);
    checkTypeTests(line);
    for (unsigned count = 0; count <= 255; count += 17) {
        u8_checksum_from_hex_string(line, static_cast<uint8_t>(count));
    }
    return 0;
}

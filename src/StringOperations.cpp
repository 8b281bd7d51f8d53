#include "StringOperations.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "HexDigits.h"

namespace {

// Doubles the table's capacity; on failure the table is still the caller's to free.
char** growTokenTable(char** table, size_t* capacity) {
    *capacity *= 2;
    return static_cast<char**>(realloc(table, *capacity * sizeof(char*)));
}

// Ends the run with a failure status: the caller's work cannot go on without its table.
[[noreturn]] void exitOutOfMemory(char** table) {
    printf("Memoire insuffisante\n");
    free(table);
    exit(EXIT_FAILURE);
}

}  // namespace

char capitalizeChar(char character) {
    if (character >= 'a' && character <= 'z') return static_cast<char>(character - 32);
    return character;
}

uint8_t int_from_hex_char(char aChar) {
    return hexdigits::digitValue(aChar);
}

// Reads at most two characters and never past the NUL: a lone last digit is the whole byte.
uint8_t u8_from_hex_string(const char* inputString) {
    if (inputString[0] == '\0') return 0;
    if (inputString[1] == '\0') return int_from_hex_char(inputString[0]);
    return hexdigits::pairValue(inputString);
}

// Adds into the array (the caller zeroes it). The length is taken in full, so texts of any size
// are checked against the real array size.
uint8_t u8_array_from_hex_string(uint8_t* outputArray, uint32_t arraySize,
                                 const char* inputString) {
    const size_t length = strlen(inputString);
    if (arraySize < (length + 1) / 2) return 0;
    for (size_t position = 0; position < length; ++position) {
        const uint8_t digit = int_from_hex_char(inputString[position]);
        const uint8_t addend = (position % 2 == 0) ? static_cast<uint8_t>(digit << 4) : digit;
        outputArray[position / 2] = static_cast<uint8_t>(outputArray[position / 2] + addend);
    }
    return 1;
}

// Tokens point into `s` (strtok writes NUL over each ending delimiter); the table ends with a
// null entry and is one allocation for the caller to free. Running out of memory ends the run.
char** str_split(char* s, const char* ct) {
    if (s == nullptr || ct == nullptr) return nullptr;
    char** table = nullptr;
    size_t capacity = 1;
    size_t count = 0;
    for (char* token = strtok(s, ct); token != nullptr; token = strtok(nullptr, ct)) {
        if (count + 1 >= capacity) {
            char** grown = growTokenTable(table, &capacity);
            if (grown == nullptr) exitOutOfMemory(table);
            table = grown;
        }
        table[count++] = token;
    }
    if (table == nullptr) return nullptr;
    table[count] = nullptr;
    return table;
}

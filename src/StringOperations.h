// Small text conversions: hexadecimal digits and bytes, upper-casing, token splitting.
#ifndef STRINGOPERATIONS_H
#define STRINGOPERATIONS_H

#include <cstdint>

char capitalizeChar(char character);
uint8_t int_from_hex_char(char aChar);
uint8_t u8_from_hex_string(const char* inputString);
uint8_t u8_array_from_hex_string(uint8_t* outputArray, uint32_t arraySize, const char* inputString);
char** str_split(char* s, const char* ct);

#endif  // STRINGOPERATIONS_H

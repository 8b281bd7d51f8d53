// Hex digits, hex bytes, hex text to byte arrays, upper-casing, the token splitter and the
// line-break remover.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "BrivantaFwUpgrade.h"
#include "StringOperations.h"

namespace {

// An exact-size heap copy, so that the sanitizer sees any read past the NUL.
std::vector<char> exactCopy(const std::string& text) {
    return std::vector<char>(text.c_str(), text.c_str() + text.size() + 1);
}

TEST(HexDigits, DigitValuesAndNonDigitsAsZero) {
    const struct {
        char character;
        uint8_t value;
    } cases[] = {{'0', 0}, {'9', 9},  {'A', 10},   {'F', 15},   {'a', 10},   {'f', 15},
                 {'/', 0}, {':', 0},  {'@', 0},    {'G', 0},    {'`', 0},    {'g', 0},
                 {' ', 0}, {'\0', 0}, {'\x80', 0}, {'\xC1', 0}, {'\xE6', 0}, {'\xFF', 0}};
    for (const auto& c : cases) {
        EXPECT_EQ(int_from_hex_char(c.character), c.value) << "code " << int(c.character);
    }
}

TEST(HexDigits, ByteFromTwoCharactersOrTheLoneLastOne) {
    const struct {
        const char* text;
        uint8_t value;
    } cases[] = {{"ff", 255}, {"FF", 255}, {"1G", 16},  {"G1", 1},     {"7", 7},
                 {"A", 10},   {"", 0},     {"7A", 122}, {"7A00", 122}, {"0a", 10}};
    for (const auto& c : cases) {
        const std::vector<char> text = exactCopy(c.text);
        EXPECT_EQ(u8_from_hex_string(text.data()), c.value) << '"' << c.text << '"';
    }
}

TEST(Capitalize, LowerCaseLettersOnly) {
    EXPECT_EQ(capitalizeChar('a'), 'A');
    EXPECT_EQ(capitalizeChar('z'), 'Z');
    for (const char unchanged : {'A', 'Z', '{', '`', '0', '\0', '\x80', '\xE1', '\xFF'}) {
        EXPECT_EQ(capitalizeChar(unchanged), unchanged) << "code " << int(unchanged);
    }
}

struct HexArrayCase {
    const char* name;
    std::string text;
    std::vector<uint8_t> before;  // the array as handed in; its size is arraySize
    uint8_t result;
    std::vector<uint8_t> after;
};

TEST(HexArray, AddsDigitsIntoTheArrayOrRefusesWhenTooSmall) {
    const std::string longText(70000, '1');  // beyond a 16-bit length count
    const std::vector<HexArrayCase> cases = {
        {"empty text, no array", "", {}, 1, {}},
        {"empty text leaves the array", "", {7, 7}, 1, {7, 7}},
        {"plain conversion", "0A1B", {0, 0}, 1, {0x0A, 0x1B}},
        {"adds, never clears", "0A1B", {1, 1}, 1, {0x0B, 0x1C}},
        {"odd length gives the high digit", "ABC", {0, 0}, 1, {0xAB, 0xC0}},
        {"lower case", "abcd", {0, 0}, 1, {0xAB, 0xCD}},
        {"array too small", "ABC", {5}, 0, {5}},
        {"long text fills the array", longText, std::vector<uint8_t>(35000, 0), 1,
         std::vector<uint8_t>(35000, 0x11)},
        {"long text, array one short", longText, std::vector<uint8_t>(34999, 0), 0,
         std::vector<uint8_t>(34999, 0)},
        {"65536 characters into no array", std::string(65536, 'F'), {}, 0, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> array = c.before;
        const std::vector<char> text = exactCopy(c.text);
        EXPECT_EQ(u8_array_from_hex_string(array.data(), static_cast<uint32_t>(array.size()),
                                           text.data()),
                  c.result);
        EXPECT_EQ(array, c.after);
    }
}

// Splits a copy of `text`; returns the tokens, or nothing when no table came back.
struct SplitResult {
    bool table;
    std::vector<std::string> tokens;
};

SplitResult split(std::vector<char>& text, const char* delimiters) {
    char** table = str_split(text.data(), delimiters);
    SplitResult result{table != nullptr, {}};
    for (char** entry = table; entry != nullptr && *entry != nullptr; ++entry) {
        result.tokens.emplace_back(*entry);
    }
    free(table);
    return result;
}

TEST(StrSplit, TokensOfTheStandardTokeniser) {
    const struct {
        const char* text;
        const char* delimiters;
        bool table;
        std::vector<std::string> tokens;
    } cases[] = {
        {":0A\r\n:1B\r\n", ":", true, {"0A\r\n", "1B\r\n"}},
        {"ab::cd", ":", true, {"ab", "cd"}},
        {"::ab:cd::", ":", true, {"ab", "cd"}},
        {"no delimiter", ":", true, {"no delimiter"}},
        {"a\r\nb\n\rc", "\r\n", true, {"a", "b", "c"}},
        {"", ":", false, {}},
        {":", ":", false, {}},
        {":::", ":", false, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        std::vector<char> text = exactCopy(c.text);
        const SplitResult result = split(text, c.delimiters);
        EXPECT_EQ(result.table, c.table);
        EXPECT_EQ(result.tokens, c.tokens);
    }
}

TEST(StrSplit, CutsTheTextInPlace) {
    std::vector<char> text = exactCopy(":0A\r\n:1B\r\n");
    char** table = str_split(text.data(), ":");
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(table[0], text.data() + 1);
    EXPECT_EQ(table[1], text.data() + 6);
    EXPECT_EQ(table[2], nullptr);
    EXPECT_EQ(text[0], ':');  // leading delimiter passed over, not cut
    EXPECT_EQ(text[5], '\0');
    free(table);
}

TEST(StrSplit, NullArgumentsGiveNoTable) {
    std::vector<char> text = exactCopy("a:b");
    EXPECT_EQ(str_split(nullptr, ":"), nullptr);
    EXPECT_EQ(str_split(text.data(), nullptr), nullptr);
}

TEST(StrSplit, TableGrowsAcrossManyTokens) {
    std::string joined;
    for (int i = 0; i < 70141; ++i) joined += ":" + std::to_string(i);
    std::vector<char> text = exactCopy(joined);
    const SplitResult result = split(text, ":");
    ASSERT_EQ(result.tokens.size(), 70141u);
    EXPECT_EQ(result.tokens.front(), "0");
    EXPECT_EQ(result.tokens[1023], "1023");
    EXPECT_EQ(result.tokens.back(), "70140");
}

// Every line break up to the old end is replaced, so with NUL the string ends at the first.
TEST(StrRemoveNL, ReplacesEveryLineBreakUpToTheOldEnd) {
    const struct {
        std::string text;
        char replacement;
        std::string after;  // all bytes up to and including the old NUL
    } cases[] = {
        {"ab\r\ncd", '\0', std::string("ab\0\0cd\0", 7)},
        {"ab\r\ncd", ' ', std::string("ab  cd\0", 7)},
        {"\n\rx\n", '\0', std::string("\0\0x\0\0", 5)},
        {"no break", '\0', std::string("no break\0", 9)},
        {"", ' ', std::string("\0", 1)},
    };
    for (const auto& c : cases) {
        std::vector<char> text = exactCopy(c.text);
        EXPECT_EQ(StrRemoveNL(text.data(), c.replacement), TRUE);
        EXPECT_EQ(std::string(text.begin(), text.end()), c.after) << '"' << c.text << '"';
    }
}

}  // namespace

#include <gtest/gtest.h>

TEST(Placeholder, ReplacedBySimTests) {}

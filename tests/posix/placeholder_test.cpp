#include <gtest/gtest.h>

TEST(Placeholder, ReplacedByPosixTests) {}

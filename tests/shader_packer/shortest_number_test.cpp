// Number literals: the shortest spelling of the same decimal value, float staying float.
#include "glsl_numbers.h"

#include <gtest/gtest.h>

using shader_packer::glsl::shortest_number;

TEST(ShortestNumber, DropsZerosThatCarryNoValue)
{
    EXPECT_EQ(shortest_number("0.0"), "0.");
    EXPECT_EQ(shortest_number("0.000"), "0.");
    EXPECT_EQ(shortest_number("0.05"), ".05");
    EXPECT_EQ(shortest_number("00.50"), ".5");
    EXPECT_EQ(shortest_number("1.0"), "1.");
    EXPECT_EQ(shortest_number("233.340"), "233.34");
}

TEST(ShortestNumber, UsesAnExponentWhereItIsShorter)
{
    EXPECT_EQ(shortest_number("100.0"), "1e2");
    EXPECT_EQ(shortest_number("0.0001"), "1e-4");
    EXPECT_EQ(shortest_number("0.00012"), "12e-5");
    EXPECT_EQ(shortest_number("1e20"), "1e20");
    EXPECT_EQ(shortest_number("1.0e+2"), "1e2");
}

TEST(ShortestNumber, PrefersThePlainFormOnATie)
{
    EXPECT_EQ(shortest_number("10.0"), "10.");
    EXPECT_EQ(shortest_number("1920.0"), "1920.");
}

TEST(ShortestNumber, ResolvesExponentsOnTheDigits)
{
    EXPECT_EQ(shortest_number("1.5e3"), "15e2");
    EXPECT_EQ(shortest_number("1.25e2"), "125.");
    EXPECT_EQ(shortest_number("123.456e-2"), "1.23456");
    EXPECT_EQ(shortest_number("12e-1"), "1.2");
    EXPECT_EQ(shortest_number("1e0"), "1.");
}

// Through a double these would round; as digits they keep every one.
TEST(ShortestNumber, KeepsEveryDigitOfTheValue)
{
    EXPECT_EQ(shortest_number("3.14159265358979323846264338327950288"), "3.14159265358979323846264338327950288");
    EXPECT_EQ(shortest_number("0.1000000000000000000000000000000000001"), ".1000000000000000000000000000000000001");
}

TEST(ShortestNumber, KeepsTheType)
{
    EXPECT_EQ(shortest_number("2.50f"), "2.5");
    EXPECT_EQ(shortest_number("1.0lf"), "1.lf");
    EXPECT_EQ(shortest_number("100.0LF"), "1e2LF");
    EXPECT_EQ(shortest_number("3"), "3");
    EXPECT_EQ(shortest_number("010"), "010") << "octal";
    EXPECT_EQ(shortest_number("0x1E"), "0x1E");
    EXPECT_EQ(shortest_number("10u"), "10u");
}

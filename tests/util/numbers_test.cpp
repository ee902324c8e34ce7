// The tolerant number reader under both separator conventions.
#include "util/numbers.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

struct Case {
  const char* text;
  float value;
};

class NumbersTest : public ::testing::Test {
 protected:
  void TearDown() override { SetNumberSeparators({'.', ','}); }
};

TEST_F(NumbersTest, DecimalComma) {
  SetNumberSeparators({',', '.'});
  const Case cases[] = {
      {"1.234,5", 1234.5F}, {"1.234", 1234.0F}, {"1.5", 1.5F},  {"1,5", 1.5F},
      {" 2 500 ", 2500.0F}, {"abc", -1.0F},     {"", -1.0F},    {"1.234.567", -1.0F},
      {"-3,25", -3.25F},    {"1,5e2", 150.0F},  {"12,", 12.0F}, {"1,2,3", -1.0F},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TextToNumber(c.text), c.value) << '"' << c.text << '"';
  }
}

TEST_F(NumbersTest, DecimalPoint) {
  SetNumberSeparators({'.', ','});
  const Case cases[] = {
      {"1,234.5", 1234.5F},
      {"1,234", 1234.0F},
      {"1.234", 1.234F},
      {"1,5", 1.5F},
      {"1.5", 1.5F},
      {"+7", 7.0F},
      {"2.5E-1", 0.25F},
      {"1e", -1.0F},
      {"-", -1.0F},
      {".", -1.0F},
      {"0x10", -1.0F},
      {"12a", -1.0F},
      // The marks of the other convention are read interchanged.
      {"1.234,5", 1234.5F},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TextToNumber(c.text), c.value) << '"' << c.text << '"';
  }
  EXPECT_TRUE(std::isinf(TextToNumber("1e39")));
}

TEST_F(NumbersTest, SeparatorsAreNormalised) {
  SetNumberSeparators({';', '\0'});
  EXPECT_EQ(CurrentNumberSeparators().decimal, '.');
  EXPECT_EQ(CurrentNumberSeparators().thousands, ',');
  SetNumberSeparators({',', '\xE2'});  // a multi-byte grouping space cannot be one byte
  EXPECT_EQ(CurrentNumberSeparators().thousands, '.');
  // The tests run in C.UTF-8: point, and no grouping mark at all.
  EXPECT_EQ(LocaleNumberSeparators().decimal, '.');
  EXPECT_EQ(LocaleNumberSeparators().thousands, ',');
}

TEST_F(NumbersTest, TextToIntRoundsToEvenAndRejectsOutOfRange) {
  SetNumberSeparators({'.', ','});
  EXPECT_EQ(TextToInt("2,5"), 2);
  EXPECT_EQ(TextToInt("2.5"), 2);
  EXPECT_EQ(TextToInt("3.5"), 4);
  EXPECT_EQ(TextToInt("-2.5"), -2);
  EXPECT_EQ(TextToInt("x"), -1);
  EXPECT_EQ(TextToIntChecked("x"), -1);
  EXPECT_EQ(TextToIntChecked("2147483520"), 2147483520);  // the largest float below 2^31
  EXPECT_EQ(TextToIntChecked("-2147483648"), std::numeric_limits<int32_t>::min());
  EXPECT_EQ(TextToIntChecked("2147483647"), std::nullopt);  // a float rounds it to 2^31
  EXPECT_EQ(TextToIntChecked("-2147483904"), std::nullopt);
  EXPECT_EQ(TextToIntChecked("1e39"), std::nullopt);
  EXPECT_EQ(TextToInt("5e9"), -1);
}

}  // namespace

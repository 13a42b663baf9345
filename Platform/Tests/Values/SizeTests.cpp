#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <string>
#include <limits>

#include "Values/Size.h"
#include "Values/Value.h"

using platform::Size;
using platform::Value;

TEST(SizeTest, WritesAndReadsTheBracedText) {
  EXPECT_EQ((Size{1280, 800}).description(), "{1280, 800}");
  EXPECT_EQ((Size{0.1, -2.5}).description(), "{0.1, -2.5}");
  EXPECT_EQ(Size::fromString((Size{0.1, 1e300}).description()), (Size{0.1, 1e300}));
  // Lenient: the first two numbers, missing ones 0.
  EXPECT_EQ(Size::fromString("{1024.9, 768.2}"), (Size{1024.9, 768.2}));
  EXPECT_EQ(Size::fromString("w=3 h=-4 d=5"), (Size{3, -4}));
  EXPECT_EQ(Size::fromString("{7}"), (Size{7, 0}));
  EXPECT_EQ(Size::fromString("{inf, nan}"), (Size{}));
  EXPECT_EQ(Size::fromString("{1e999, .5}").width, std::numeric_limits<double>::infinity());
  // Independent of a comma-decimal locale.
  const std::string previous = std::setlocale(LC_NUMERIC, nullptr);
  std::setlocale(LC_NUMERIC, "de_DE.UTF-8");
  EXPECT_EQ(Size::fromString("{1.5, 2}"), (Size{1.5, 2}));
  std::setlocale(LC_NUMERIC, previous.c_str());
}

TEST(SizeTest, IntValueClampsToThirtyTwoBits) {
  EXPECT_EQ(Value(1e300).intValue(), std::numeric_limits<std::int32_t>::max());
  EXPECT_EQ(Value("-99999999999").intValue(), std::numeric_limits<std::int32_t>::min());
  EXPECT_EQ(Value(" 42abc").intValue(), 42);
  EXPECT_EQ(Value(std::nan("")).intValue(), 0);
  EXPECT_EQ(Value(true).intValue(), 1);
}

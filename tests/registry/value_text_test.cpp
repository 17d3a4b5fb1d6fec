#include "registry/value_text.h"

#include <gtest/gtest.h>

#include <clocale>

namespace qb {
namespace {

TEST(ReadNumber, TakesTheLongestLeadingNumber) {
  EXPECT_EQ(ReadNumber("21.5 \u00BAC"), 21.5);
  EXPECT_EQ(ReadNumber("  - 3 . 25mV"), -3.25);  // blanks anywhere are skipped
  EXPECT_EQ(ReadNumber("1 234"), 1234);
  EXPECT_EQ(ReadNumber("On"), 0);
  EXPECT_EQ(ReadNumber(""), 0);
  EXPECT_EQ(ReadNumber("1.5.2"), 1.5);
  EXPECT_EQ(ReadNumber("2E3x"), 2000);
  EXPECT_EQ(ReadNumber("2Ex"), 2);
  EXPECT_EQ(ReadNumber(".5"), 0.5);
  EXPECT_EQ(ReadNumber("1,5"), 1);  // "." is the decimal point whatever the locale
  EXPECT_EQ(RoundHalfEvenInt(21562.5), 21562);
  EXPECT_EQ(RoundHalfEvenInt(21563.5), 21564);
  EXPECT_EQ(RoundHalfEvenInt(-2.5), -2);
}

TEST(FormatDecimals, ExactDecimalsWithTheLocaleSeparators) {
  EXPECT_EQ(FormatDecimals(22.25, 3), "22.250");
  EXPECT_EQ(FormatDecimals(-0.0004, 3), "0.000");
  EXPECT_EQ(FormatDecimals(-7.5, 0), "-8");
  EXPECT_EQ(FormatDecimals(21.5625, 3), "21.563");  // an exact half rounds away from zero
  EXPECT_EQ(FormatDecimals(2.5, 0), "3");
  EXPECT_EQ(FormatDecimals(1234567.891, 2), "1234567.89");
  // A locale with a decimal comma and grouping, when the machine has one.
  if (std::setlocale(LC_NUMERIC, "de_DE.UTF-8") || std::setlocale(LC_NUMERIC, "de_DE")) {
    EXPECT_EQ(FormatDecimals(1234.5, 1), "1.234,5");
    std::setlocale(LC_NUMERIC, "C");
  }
}

TEST(ValueText, SmallHelpers) {
  EXPECT_EQ(CleanNumberText("\"+12?%\""), "  12  ");
  EXPECT_EQ(TempUnitText(true), "\u00B0F");
  EXPECT_EQ(TempUnitText(false), "\u00B0C");
  EXPECT_DOUBLE_EQ(TempToScalePercent(-55, false), 0);
  EXPECT_DOUBLE_EQ(TempToScalePercent(125, false), 100);
  EXPECT_NEAR(TempToScalePercent(212, true), (100 + 55) / 1.8, 1e-9);
  EXPECT_EQ(HexToText("414243"), "ABC");
  EXPECT_EQ(HexToText("0A41"), "-A");
  EXPECT_EQ(HexToText("7F4"), "--");
  EXPECT_EQ(BytesToHex({0x00, 0x0F, 0xA5, 0xFF}, 1, 2), "0FA5");
  EXPECT_EQ(BytesToHex({0x01}, 0, 5), "01");
  EXPECT_EQ(PadTwo("7"), "07");
  EXPECT_EQ(PadTwo("12"), "12");
  EXPECT_EQ(PadTwo(""), "");
  EXPECT_EQ(SwapRedBlue(0x0000FF), 0xFF0000);
  EXPECT_EQ(SwapRedBlue(0x123456), 0x563412);
}

}  // namespace
}  // namespace qb

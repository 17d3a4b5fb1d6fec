#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qb {

// Reads a number from text as the plug-in always has: the longest leading number, blanks
// anywhere skipped, "." as the decimal point whatever the locale, 0 when the text does not begin
// with a number ("21.5 ºC" is 21.5, "- 3" is -3, "abc" is 0).
double ReadNumber(const std::string& text);

// Rounds to the nearest whole number, halves to the even neighbour (2.5 is 2, 3.5 is 4).
int64_t RoundHalfEvenInt(double value);

// The value with exactly `decimals` digits after the decimal point, with the decimal separator,
// digit grouping and minus sign of the process locale (LC_NUMERIC).
std::string FormatDecimals(double value, int decimals);

// Double quotes, "+" and "?" become blanks; "%" is removed.
std::string CleanNumberText(const std::string& text);
// "°F" or "°C" (degree sign U+00B0), for chart titles.
std::string TempUnitText(bool fahrenheit);
// The position of a temperature in the range -55 to 125 °C as a percentage; a Fahrenheit value
// is converted to Celsius first.
double TempToScalePercent(float temperature, bool fahrenheit);
// Each pair of hexadecimal digits becomes the character with that code; codes below 33 or above
// 126 become "-"; an odd last digit is read alone.
std::string HexToText(const std::string& hex);
// `count` bytes from `start` as two upper-case hexadecimal digits each.
std::string BytesToHex(const std::vector<uint8_t>& buffer, size_t start, size_t count);
// A one-character text gets a "0" in front.
std::string PadTwo(const std::string& text);
// Exchanges the red and the blue byte of a colour.
int32_t SwapRedBlue(int32_t colour);

}  // namespace qb

#include "registry/value_text.h"

#include <climits>
#include <clocale>
#include <cmath>
#include <cstdio>

namespace qb {

double ReadNumber(const std::string& text) {
  // Collect the characters of the longest leading number, skipping blanks.
  std::string number;
  bool digits = false, point = false, exponent = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == ' ' || c == '\t') continue;
    if ((c == '-' || c == '+') && (number.empty() || (exponent && (number.back() == 'E')))) {
      number += c;
    } else if (c >= '0' && c <= '9') {
      number += c;
      digits = true;
    } else if (c == '.' && !point && !exponent) {
      number += c;
      point = true;
    } else if ((c == 'E' || c == 'e') && digits && !exponent) {
      // An exponent only counts when digits follow it.
      size_t j = i + 1;
      while (j < text.size() && text[j] == ' ') ++j;
      if (j < text.size() && (text[j] == '+' || text[j] == '-')) ++j;
      while (j < text.size() && text[j] == ' ') ++j;
      if (j >= text.size() || text[j] < '0' || text[j] > '9') break;
      number += 'E';
      exponent = true;
    } else {
      break;
    }
  }
  if (!digits) return 0;
  // Parse with "." as the decimal point, whatever the locale says.
  double value = 0, scale = 1;
  int exp_value = 0, exp_sign = 1;
  bool negative = false, in_fraction = false, in_exponent = false;
  for (char c : number) {
    if (in_exponent) {
      if (c == '-') exp_sign = -1;
      if (c >= '0' && c <= '9' && exp_value < 10000) exp_value = exp_value * 10 + (c - '0');
    } else if (c == '-') {
      negative = true;
    } else if (c == '.') {
      in_fraction = true;
    } else if (c == 'E') {
      in_exponent = true;
    } else if (c >= '0' && c <= '9') {
      if (in_fraction) {
        scale /= 10;
        value += (c - '0') * scale;
      } else {
        value = value * 10 + (c - '0');
      }
    }
  }
  if (in_exponent) value *= std::pow(10.0, exp_sign * exp_value);
  return negative ? -value : value;
}

int64_t RoundHalfEvenInt(double value) {
  const double r = std::nearbyint(value);  // the default rounding mode: halves to even
  return static_cast<int64_t>(r);
}

std::string FormatDecimals(double value, int decimals) {
  if (decimals < 0) decimals = 0;
  // Halves round away from zero, as numbers shown to people always have (printf alone would
  // round an exact half to even: 21.5625 to 21.562).
  double shown = std::fabs(value);
  const double scale = std::pow(10.0, decimals);
  if (shown * scale < 1e15) shown = std::round(shown * scale) / scale;
  char buf[400];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, shown);
  std::string digits = buf;
  // Negative zero after rounding is plain zero.
  bool negative = value < 0 && digits.find_first_not_of("0.") != std::string::npos;
  const std::lconv* lc = std::localeconv();
  const std::string point = lc && lc->decimal_point && *lc->decimal_point ? lc->decimal_point : ".";
  const std::string sep = lc && lc->thousands_sep ? lc->thousands_sep : "";
  const char* grouping = lc && lc->grouping ? lc->grouping : "";
  const auto dot = digits.find('.');
  std::string whole = digits.substr(0, dot);
  const std::string fraction = dot == std::string::npos ? std::string() : digits.substr(dot + 1);
  if (!sep.empty() && *grouping > 0 && *grouping != CHAR_MAX) {
    std::string grouped;
    int group = *grouping;
    int count = 0;
    for (size_t i = whole.size(); i-- > 0;) {
      grouped.insert(grouped.begin(), whole[i]);
      if (++count == group && i > 0) {
        grouped.insert(0, sep);
        count = 0;
        if (grouping[1] > 0 && grouping[1] != CHAR_MAX) group = *++grouping;
      }
    }
    whole = grouped;
  }
  std::string out = (negative ? "-" : "") + whole;
  if (decimals > 0) out += point + fraction;
  return out;
}

std::string CleanNumberText(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '%') continue;
    out += (c == '"' || c == '+' || c == '?') ? ' ' : c;
  }
  return out;
}

std::string TempUnitText(bool fahrenheit) {
  return fahrenheit ? "\u00B0F" : "\u00B0C";
}

double TempToScalePercent(float temperature, bool fahrenheit) {
  double t = temperature;
  if (fahrenheit) t = (t - 32) * 5 / 9;
  return (t + 55) / 1.8;
}

std::string HexToText(const std::string& hex) {
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return 0;
  };
  std::string out;
  for (size_t i = 0; i < hex.size(); i += 2) {
    const int code = i + 1 < hex.size() ? nibble(hex[i]) * 16 + nibble(hex[i + 1]) : nibble(hex[i]);
    out += (code < 33 || code > 126) ? '-' : static_cast<char>(code);
  }
  return out;
}

std::string BytesToHex(const std::vector<uint8_t>& buffer, size_t start, size_t count) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  for (size_t i = 0; i < count && start + i < buffer.size(); ++i) {
    const uint8_t b = buffer[start + i];
    out += digits[b >> 4];
    out += digits[b & 0x0F];
  }
  return out;
}

std::string PadTwo(const std::string& text) {
  return text.size() == 1 ? "0" + text : text;
}

int32_t SwapRedBlue(int32_t colour) {
  const uint32_t c = static_cast<uint32_t>(colour);
  return static_cast<int32_t>((c & 0xFF) << 16 | (c & 0xFF00) | (c & 0xFF0000) >> 16);
}

}  // namespace qb

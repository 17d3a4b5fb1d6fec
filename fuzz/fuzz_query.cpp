// Decodes arbitrary text as a page link or a posted form: the one-pass decoder must give exactly
// what the straightforward step-by-step decoding gives (kept here as the reference), and the pair
// list must have one entry per "=" of the text.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "web/query.h"
#include "web/web_state.h"

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Step by step, editing the text in place: "+" to blanks, each escape in turn, then each "?".
std::string ReferenceDecode(const std::string& text) {
  if (text.empty()) return text;
  std::string s = text;
  std::replace(s.begin(), s.end(), '+', ' ');
  size_t after_escapes = 0;
  for (size_t p = s.find('%'); p != std::string::npos; p = s.find('%', p + 1)) {
    after_escapes = p + 1;
    const size_t digits = std::min<size_t>(2, s.size() - p - 1);
    if (digits == 0) break;
    int code = 0;
    bool valid = true;
    for (size_t i = 1; i <= digits; ++i) {
      const int d = HexDigit(s[p + i]);
      if (d < 0) valid = false;
      code = code * 16 + std::max(d, 0);
    }
    if (valid) s[p] = static_cast<char>(code);
    s.erase(p + 1, digits);
  }
  for (size_t pos = after_escapes; pos <= s.size();) {
    const size_t q = s.find('?', pos);
    if (q == std::string::npos) break;
    s.erase(0, q + 1);
    pos = q + 1;
  }
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  if (qb::URLDecode(text) != ReferenceDecode(text)) std::abort();
  qb::ParseQuery(text);
  const auto& pairs = qb::Web().QueryPairs;
  if (pairs.size() != static_cast<size_t>(std::count(text.begin(), text.end(), '='))) std::abort();
  if (!pairs.empty() && qb::GetQueryValue(pairs.front().name) != pairs.front().value) std::abort();
  return 0;
}

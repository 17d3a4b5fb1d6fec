#include "web/query.h"

#include <algorithm>
#include <cctype>

#include "web/web_state.h"

namespace qb {

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool SameTextIgnoringCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::toupper(static_cast<unsigned char>(x)) ==
                  std::toupper(static_cast<unsigned char>(y));
         });
}

}  // namespace

std::string URLDecode(const std::string& text) {
  if (text.empty()) return text;
  std::string s = text;
  std::replace(s.begin(), s.end(), '+', ' ');

  // Escapes. Bytes pass through as they are, so UTF-8 sent as %C2%BA arrives as UTF-8.
  size_t after_escapes = 0;
  for (size_t p = s.find('%'); p != std::string::npos; p = s.find('%', p + 1)) {
    after_escapes = p + 1;
    const size_t digits = std::min<size_t>(2, s.size() - p - 1);
    if (digits == 0) break;  // a "%" that ends the text is kept
    int code = 0;
    bool valid = true;
    for (size_t i = 1; i <= digits; ++i) {
      const int d = HexDigit(s[p + i]);
      if (d < 0) valid = false;
      code = code * 16 + std::max(d, 0);
    }
    if (valid) {
      s[p] = static_cast<char>(code);
    }
    s.erase(p + 1, digits);
  }

  // Everything up to a "?" is the page part of a link, not the name.
  for (size_t pos = after_escapes; pos <= s.size();) {
    const size_t q = s.find('?', pos);
    if (q == std::string::npos) break;
    s.erase(0, q + 1);
    pos = q + 1;
  }
  return s;
}

void ParseQuery(const std::string& text) {
  auto& pairs = Web().QueryPairs;
  pairs.assign(static_cast<size_t>(std::count(text.begin(), text.end(), '=')), QueryPair{});
  size_t pos = 0;
  for (auto& pair : pairs) {
    const size_t eq = text.find('=', pos);
    if (eq == std::string::npos) break;
    size_t amp = text.find('&', eq);
    if (amp == std::string::npos) amp = text.size();
    pair.name = URLDecode(text.substr(pos, eq - pos));
    pair.value = URLDecode(text.substr(eq + 1, amp - eq - 1));
    pos = amp + 1;
    if (pos > text.size()) break;
  }
}

std::string GetQueryValue(const std::string& name) {
  for (const auto& pair : Web().QueryPairs) {
    if (SameTextIgnoringCase(pair.name, name)) return pair.value;
  }
  return {};
}

}  // namespace qb

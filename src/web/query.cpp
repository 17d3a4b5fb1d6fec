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

  // Escapes, in one pass: the decoded text is built as the escapes are read, so the time is
  // linear in the length. Bytes pass through as they are, so UTF-8 sent as %C2%BA arrives as
  // UTF-8. A decoded "%" (from %25) is not decoded again.
  std::string s;
  s.reserve(text.size());
  const auto at = [&](size_t i) { return text[i] == '+' ? ' ' : text[i]; };
  size_t after_escapes = 0;  // where the "?" search starts, counted in the decoded text
  for (size_t i = 0; i < text.size();) {
    if (text[i] != '%') {
      s += at(i++);
      continue;
    }
    const size_t digits = std::min<size_t>(2, text.size() - i - 1);
    after_escapes = s.size() + 1;
    if (digits == 0) {  // a "%" that ends the text is kept
      s += '%';
      break;
    }
    int code = 0;
    bool valid = true;
    for (size_t k = 1; k <= digits; ++k) {
      const int d = HexDigit(at(i + k));
      if (d < 0) valid = false;
      code = code * 16 + std::max(d, 0);
    }
    s += valid ? static_cast<char>(code) : '%';
    i += 1 + digits;
  }

  // Everything up to a "?" is the page part of a link, not the name. Each "?" found drops the
  // text up to it, and the search goes on at its position plus one in the shortened text; the
  // dropped part is only counted here and cut once at the end.
  size_t dropped = 0;
  for (size_t pos = after_escapes; dropped + pos <= s.size();) {
    const size_t q = s.find('?', dropped + pos);
    if (q == std::string::npos) break;
    const size_t in_short = q - dropped;
    dropped = q + 1;
    pos = in_short + 1;
  }
  return s.substr(dropped);
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

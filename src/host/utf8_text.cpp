#include "host/utf8_text.h"

namespace qb {

namespace {

// The length of the well-formed UTF-8 sequence at `p`, 0 when the bytes there are not one
// (overlong forms, surrogates and code points above U+10FFFF included).
size_t SequenceLength(const std::string& s, size_t p) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char b = byte(p);
  if (b < 0x80) return 1;
  size_t n = 0;
  unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
  if (b >= 0xC2 && b <= 0xDF) {
    n = 2;
  } else if (b >= 0xE0 && b <= 0xEF) {
    n = 3;
    if (b == 0xE0) low = 0xA0;
    if (b == 0xED) high = 0x9F;
  } else if (b >= 0xF0 && b <= 0xF4) {
    n = 4;
    if (b == 0xF0) low = 0x90;
    if (b == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (p + n > s.size()) return 0;
  if (byte(p + 1) < low || byte(p + 1) > high) return 0;
  for (size_t i = 2; i < n; ++i) {
    if ((byte(p + i) & 0xC0) != 0x80) return 0;
  }
  return n;
}

}  // namespace

std::string ToValidUtf8(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t p = 0; p < text.size();) {
    const size_t n = SequenceLength(text, p);
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      ++p;
    } else {
      out.append(text, p, n);
      p += n;
    }
  }
  return out;
}

std::string EscapeControls(const std::string& text) {
  static const char* const kHex = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (size_t p = 0; p < text.size(); ++p) {
    const auto c = static_cast<unsigned char>(text[p]);
    // A carriage return is escaped too: on a terminal it moves back over the line and lets the
    // rest of the text overwrite what was printed.
    if ((c < 0x20 && c != '\t' && c != '\n') || c == 0x7F) {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    } else if (c == 0xC2 && p + 1 < text.size() &&
               static_cast<unsigned char>(text[p + 1]) >= 0x80 &&
               static_cast<unsigned char>(text[p + 1]) <= 0x9F) {
      // U+0080 to U+009F: CSI (U+009B) starts an escape sequence on many terminals.
      const auto low = static_cast<unsigned char>(text[++p]);
      out += "\\u00";
      out += kHex[low >> 4];
      out += kHex[low & 0xF];
    } else {
      out += text[p];
    }
  }
  return out;
}

size_t Utf8Length(const std::string& text) {
  size_t count = 0;
  for (size_t p = 0; p < text.size(); ++count) {
    const size_t n = SequenceLength(text, p);
    if (n == 0) return std::string::npos;
    p += n;
  }
  return count;
}

std::string DeviceTextProblem(const std::string& field, const std::string& value) {
  const size_t length = Utf8Length(value);
  if (length == std::string::npos) return "\"" + field + "\" must be valid UTF-8 text";
  if (length > kMaxDeviceText) {
    return "\"" + field + "\" may be at most " + std::to_string(kMaxDeviceText) +
           " characters long (this one has " + std::to_string(length) + ")";
  }
  for (unsigned char c : value) {
    if (c < 0x20 || c == 0x7F)
      return "\"" + field + "\" must not hold control characters such as line breaks or tabs";
  }
  return {};
}

}  // namespace qb

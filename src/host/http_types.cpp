#include "host/http_types.h"

#include <strings.h>

namespace qb {

namespace {

template <typename Headers>
auto FindHeader(Headers& headers, const std::string& name) {
  for (auto it = headers.begin(); it != headers.end(); ++it)
    if (strcasecmp(it->first.c_str(), name.c_str()) == 0) return it;
  return headers.end();
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool HttpRequest::has_header(const std::string& name) const {
  return FindHeader(headers, name) != headers.end();
}

std::string HttpRequest::get_header_value(const std::string& name) const {
  const auto it = FindHeader(headers, name);
  return it == headers.end() ? std::string() : it->second;
}

size_t HttpRequest::header_count(const std::string& name) const {
  size_t n = 0;
  for (const auto& [key, value] : headers)
    if (strcasecmp(key.c_str(), name.c_str()) == 0) ++n;
  return n;
}

std::string HttpRequest::get_param_value(const std::string& name) const {
  const auto it = params.find(name);
  return it == params.end() ? std::string() : it->second;
}

void HttpResponse::set_header(const std::string& name, const std::string& value) {
  if (auto it = FindHeader(headers, name); it != headers.end())
    it->second = value;
  else
    headers.emplace_back(name, value);
}

bool HttpResponse::has_header(const std::string& name) const {
  return FindHeader(headers, name) != headers.end();
}

std::string HttpResponse::get_header_value(const std::string& name) const {
  const auto it = FindHeader(headers, name);
  return it == headers.end() ? std::string() : it->second;
}

void HttpResponse::set_content(std::string content, const std::string& content_type) {
  body = std::move(content);
  set_header("Content-Type", content_type);
}

void HttpResponse::set_redirect(const std::string& location, int redirect_status) {
  status = redirect_status;
  set_header("Location", location);
}

std::string DecodePercent(const std::string& text, bool plus_is_blank) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
        HexValue(text[i + 2]) >= 0) {
      out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 2;
    } else if (c == '+' && plus_is_blank) {
      out += ' ';
    } else {
      out += c;
    }
  }
  return out;
}

std::multimap<std::string, std::string> ParseParams(const std::string& text) {
  std::multimap<std::string, std::string> params;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('&', start);
    if (end == std::string::npos) end = text.size();
    const std::string pair = text.substr(start, end - start);
    if (!pair.empty()) {
      const auto eq = pair.find('=');
      params.emplace(
          DecodePercent(pair.substr(0, eq), true),
          eq == std::string::npos ? std::string() : DecodePercent(pair.substr(eq + 1), true));
    }
    start = end + 1;
  }
  return params;
}

}  // namespace qb

#include "host/web_users.h"

#include <arpa/inet.h>
#include <crypt.h>
#include <strings.h>

#include <cstring>
#include <fstream>
#include <memory>

namespace qb {

std::optional<std::string> DecodeBase64(const std::string& text) {
  auto value = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  size_t end = text.size();
  size_t padding = 0;
  while (end > 0 && text[end - 1] == '=') --end, ++padding;
  // Four characters carry three bytes; a lone sixth of a byte in the last group cannot be.
  if (end % 4 == 1 || padding > 2 || (padding > 0 && (end + padding) % 4 != 0)) {
    return std::nullopt;
  }
  std::string out;
  out.reserve(end / 4 * 3 + 2);
  unsigned bits = 0;
  int count = 0;
  for (size_t i = 0; i < end; ++i) {
    const int v = value(text[i]);
    if (v < 0) return std::nullopt;  // not base64, or data after padding
    bits = ((bits << 6) | static_cast<unsigned>(v)) & 0xFFFFu;
    count += 6;
    if (count >= 8) {
      count -= 8;
      out += static_cast<char>((bits >> count) & 0xFFu);
    }
  }
  return out;
}

bool IsLoopbackAddress(const std::string& address) {
  if (address == "localhost") return true;
  in_addr v4{};
  if (inet_pton(AF_INET, address.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6{};
  if (inet_pton(AF_INET6, address.c_str(), &v6) == 1) return IN6_IS_ADDR_LOOPBACK(&v6);
  return false;
}

std::string WebUsers::Load(const std::filesystem::path& file) {
  users_.clear();
  enabled_ = false;
  std::error_code ec;
  if (!std::filesystem::exists(file, ec)) return {};
  enabled_ = true;  // a users file asks for protection even when it is unusable
  std::ifstream in(file);
  if (!in) return "cannot read the web users file " + file.string();
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    const auto colon = line.find(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == line.size()) {
      return "web users file " + file.string() + ", line " + std::to_string(number) +
             ": expected name:password-hash";
    }
    const std::string hash = line.substr(colon + 1);
    if (hash[0] != '$') {
      return "web users file " + file.string() + ", line " + std::to_string(number) +
             ": the password must be a crypt(3) hash such as one from \"mkpasswd -m yescrypt\"";
    }
    users_[line.substr(0, colon)] = hash;
  }
  if (users_.empty()) return "web users file " + file.string() + " lists no users";
  return {};
}

bool WebUsers::Check(const std::string& user, const std::string& password) const {
  if (users_.empty()) return false;
  auto it = users_.find(user);
  const bool known = it != users_.end();
  // For a name that is not a user, a user's hash is worked out all the same and then refused.
  const std::string& hash = known ? it->second : users_.begin()->second;
  auto data = std::make_unique<crypt_data>();
  std::memset(data.get(), 0, sizeof(crypt_data));
  const char* result = crypt_r(password.c_str(), hash.c_str(), data.get());
  if (!result || result[0] == '*') return false;
  const std::string computed = result;
  // Compare without stopping at the first difference.
  if (computed.size() != hash.size()) return false;
  unsigned char diff = 0;
  for (size_t i = 0; i < computed.size(); ++i)
    diff |= static_cast<unsigned char>(computed[i] ^ hash[i]);
  return known && diff == 0;
}

std::string BasicUserName(const std::string& authorization) {
  const size_t blank = authorization.find(' ');
  if (blank != 5 || strncasecmp(authorization.c_str(), "basic", 5) != 0) return {};
  const size_t credentials = authorization.find_first_not_of(' ', blank);
  if (credentials == std::string::npos) return {};
  const auto decoded = DecodeBase64(authorization.substr(credentials));
  if (!decoded) return {};
  return decoded->substr(0, decoded->find(':'));
}

std::optional<std::string> WebUsers::Authenticate(const std::string& authorization) const {
  // The scheme name is case-insensitive ("Basic", "basic", "BASIC"); blanks separate it.
  const size_t blank = authorization.find(' ');
  if (blank != 5 || strncasecmp(authorization.c_str(), "basic", 5) != 0) return std::nullopt;
  const size_t credentials = authorization.find_first_not_of(' ', blank);
  if (credentials == std::string::npos) return std::nullopt;
  auto decoded = DecodeBase64(authorization.substr(credentials));
  if (!decoded) return std::nullopt;
  const auto colon = decoded->find(':');
  if (colon == std::string::npos) return std::nullopt;
  std::string user = decoded->substr(0, colon);
  if (!Check(user, decoded->substr(colon + 1))) return std::nullopt;
  return user;
}

}  // namespace qb

#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>

namespace qb {

// The web users of the stand-alone host: a file of "name:hash" lines in the host's folder, the
// hash in any form crypt(3) knows (yescrypt "$y$", SHA-512 "$6$", ...). Lines starting with "#"
// are comments. Without the file every request is served as the local user.
class WebUsers {
 public:
  // Reads the file; a missing file leaves the list empty. Returns an error text for a file that
  // exists but cannot be used (the caller must not serve without the protection it asked for).
  std::string Load(const std::filesystem::path& file);
  bool Enabled() const { return enabled_; }
  size_t Count() const { return users_.size(); }

  // Checks an HTTP "Authorization" header ("Basic ..."); the user's name when it matches.
  std::optional<std::string> Authenticate(const std::string& authorization) const;
  // Takes as long for a name that is not a user as for one that is: a guesser cannot tell names
  // from the time an answer takes.
  bool Check(const std::string& user, const std::string& password) const;

 private:
  bool enabled_ = false;
  std::map<std::string, std::string> users_;
};

// The user name an HTTP "Authorization: Basic ..." header gives, empty when it gives none.
std::string BasicUserName(const std::string& authorization);

// Decodes standard base64 (RFC 4648, padded or not); nullopt for anything else.
std::optional<std::string> DecodeBase64(const std::string& text);

// True for an address of the local machine only (127.0.0.0/8, ::1, "localhost").
bool IsLoopbackAddress(const std::string& address);

}  // namespace qb

#pragma once

#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace qb {

// One HTTP request as the web server's handlers see it, read whole before a handler runs.
struct HttpRequest {
  std::string method;
  std::string version;  // "HTTP/1.1"
  std::string target;   // as sent: path and query, percent escapes kept
  std::string path;     // the target's path, percent escapes decoded
  std::string body;
  std::string remote_address;  // the client's IP address
  std::vector<std::pair<std::string, std::string>> headers;
  std::multimap<std::string, std::string> params;  // of the query, and of a form body
  std::vector<std::string> matches;                // the route pattern's groups, [0] the path
  std::string user;  // the web user who logged in, empty for the local user

  // Header names compare without regard to case; the first of several is taken.
  bool has_header(const std::string& name) const;
  std::string get_header_value(const std::string& name) const;
  size_t header_count(const std::string& name) const;
  bool has_param(const std::string& name) const { return params.count(name) > 0; }
  std::string get_param_value(const std::string& name) const;
};

// The answer a handler builds.
struct HttpResponse {
  int status = 200;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  // Set by a handler whose answer takes long to make: the server runs it on a thread of its own,
  // with the connection set aside meanwhile (the other connections are served as ever), and then
  // sends the answer it leaves here.
  std::function<void(const HttpRequest&, HttpResponse&)> later;

  void set_header(const std::string& name, const std::string& value);
  bool has_header(const std::string& name) const;
  std::string get_header_value(const std::string& name) const;
  void set_content(std::string content, const std::string& content_type);
  void set_redirect(const std::string& location, int redirect_status = 302);
};

// Decodes %XX escapes (and, in a form or query, "+" as a blank); a malformed escape is kept as
// it is.
std::string DecodePercent(const std::string& text, bool plus_is_blank);
// The name=value pairs of a query or a form body ("a=1&b=x+y").
std::multimap<std::string, std::string> ParseParams(const std::string& text);

}  // namespace qb

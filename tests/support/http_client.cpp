#include "support/http_client.h"

#include <curl/curl.h>
#include <strings.h>

#include <mutex>

namespace qb::test {

namespace {

void GlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

size_t OnBody(char* data, size_t size, size_t count, void* out) {
  static_cast<std::string*>(out)->append(data, size * count);
  return size * count;
}

// Header lines of the last answer only: a 100 Continue or a redirect's lines are dropped.
size_t OnHeader(char* data, size_t size, size_t count, void* out) {
  auto* headers = static_cast<Headers*>(out);
  std::string line(data, size * count);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  if (line.rfind("HTTP/", 0) == 0) {
    headers->clear();
  } else if (const auto colon = line.find(':'); colon != std::string::npos) {
    std::string value = line.substr(colon + 1);
    value.erase(0, value.find_first_not_of(" \t"));
    headers->emplace_back(line.substr(0, colon), value);
  }
  return size * count;
}

}  // namespace

bool HttpAnswer::has_header(const std::string& name) const {
  for (const auto& [key, value] : headers)
    if (strcasecmp(key.c_str(), name.c_str()) == 0) return true;
  return false;
}

std::string HttpAnswer::get_header_value(const std::string& name) const {
  for (const auto& [key, value] : headers)
    if (strcasecmp(key.c_str(), name.c_str()) == 0) return value;
  return {};
}

HttpClient::HttpClient(std::string host, int port, bool https, std::string ca_file)
    : ca_file_(std::move(ca_file)) {
  GlobalInit();
  if (host.find(':') != std::string::npos) host = "[" + host + "]";
  base_ = std::string(https ? "https" : "http") + "://" + host + ":" + std::to_string(port);
  curl_ = curl_easy_init();
}

HttpClient::~HttpClient() {
  if (curl_) curl_easy_cleanup(static_cast<CURL*>(curl_));
}

void HttpClient::set_basic_auth(const std::string& user, const std::string& password) {
  user_password_ = user + ":" + password;
}

HttpResult HttpClient::Get(const std::string& path, const Headers& headers) {
  return Send("GET", path, headers, {}, {});
}

HttpResult HttpClient::Delete(const std::string& path, const Headers& headers) {
  return Send("DELETE", path, headers, {}, {});
}

HttpResult HttpClient::Send(const std::string& method, const std::string& path,
                            const Headers& headers, const std::string& body,
                            const std::string& content_type) {
  CURL* curl = static_cast<CURL*>(curl_);
  if (!curl) return HttpResult(std::string("libcurl did not start"));
  curl_easy_reset(curl);
  const std::string url = base_ + path;
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  // The target goes out as the test wrote it ("/a/../b" stays), as a hostile client sends it.
  curl_easy_setopt(curl, CURLOPT_PATH_AS_IS, 1L);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(connect_timeout_.count()));
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(read_timeout_.count()));
  if (!interface_.empty()) curl_easy_setopt(curl, CURLOPT_INTERFACE, interface_.c_str());
  if (base_.rfind("https", 0) == 0) {
    if (ca_file_.empty()) {
      curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
      curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
    } else {
      curl_easy_setopt(curl, CURLOPT_CAINFO, ca_file_.c_str());
    }
  }
  if (method == "GET") {
    curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
  } else {
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method.c_str());
    if (method != "DELETE" || !body.empty()) {
      curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
      curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    }
  }
  if (!user_password_.empty()) {
    curl_easy_setopt(curl, CURLOPT_HTTPAUTH, CURLAUTH_BASIC);
    curl_easy_setopt(curl, CURLOPT_USERPWD, user_password_.c_str());
  }
  curl_slist* list = nullptr;
  auto add = [&](const std::string& line) { list = curl_slist_append(list, line.c_str()); };
  // No "Expect: 100-continue": the body goes with the head, as most clients send it.
  add("Expect:");
  if (!content_type.empty()) add("Content-Type: " + content_type);
  for (const auto& [name, value] : default_headers_) add(name + ": " + value);
  for (const auto& [name, value] : headers) add(name + ": " + value);
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list);
  HttpAnswer answer;
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, OnBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer.body);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, OnHeader);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &answer.headers);
  const CURLcode code = curl_easy_perform(curl);
  curl_slist_free_all(list);
  if (code != CURLE_OK) return HttpResult(std::string(curl_easy_strerror(code)));
  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  answer.status = static_cast<int>(status);
  return HttpResult(std::move(answer));
}

}  // namespace qb::test

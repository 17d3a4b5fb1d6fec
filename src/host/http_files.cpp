#include "host/http_files.h"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <iterator>

namespace qb {

namespace {

bool ParseSize(const std::string& text, size_t& out) {
  if (text.empty()) return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out);
  return error == std::errc() && end == text.data() + text.size();
}

}  // namespace

std::optional<std::pair<size_t, size_t>> SingleRange(const std::string& header, size_t size) {
  if (header.rfind("bytes=", 0) != 0) return std::nullopt;
  const std::string range = header.substr(6);
  // Several ranges cost the server a copy each: only one is served, or none.
  if (range.find(',') != std::string::npos) return std::nullopt;
  const auto dash = range.find('-');
  if (dash == std::string::npos) return std::nullopt;
  const std::string from = range.substr(0, dash), to = range.substr(dash + 1);
  size_t first = 0, last = 0;
  if (from.empty()) {  // the last `to` bytes
    if (!ParseSize(to, last)) return std::nullopt;
    if (last == 0 || size == 0) return std::make_pair(size_t{1}, size_t{0});
    return std::make_pair(size - std::min(last, size), size - 1);
  }
  if (!ParseSize(from, first)) return std::nullopt;
  if (to.empty()) {
    last = size == 0 ? 0 : size - 1;
  } else {
    if (!ParseSize(to, last) || last < first) return std::nullopt;
    last = std::min(last, size == 0 ? 0 : size - 1);
  }
  if (first >= size) return std::make_pair(size_t{1}, size_t{0});
  return std::make_pair(first, last);
}

std::string MediaTypeOf(const std::filesystem::path& file) {
  std::string ext = file.extension().string();
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  static const std::pair<const char*, const char*> kTypes[] = {
      {".html", "text/html; charset=utf-8"},
      {".htm", "text/html; charset=utf-8"},
      {".css", "text/css; charset=utf-8"},
      {".js", "text/javascript; charset=utf-8"},
      {".json", "application/json"},
      {".txt", "text/plain; charset=utf-8"},
      {".png", "image/png"},
      {".gif", "image/gif"},
      {".jpg", "image/jpeg"},
      {".jpeg", "image/jpeg"},
      {".svg", "image/svg+xml"},
      {".ico", "image/x-icon"},
      {".webp", "image/webp"},
  };
  for (const auto& [extension, type] : kTypes)
    if (ext == extension) return type;
  return "application/octet-stream";
}

std::optional<std::filesystem::path> FileInside(const std::filesystem::path& root,
                                                const std::string& name) {
  // The name is made relative first: joined to the root, "/etc/passwd" would replace it.
  const std::filesystem::path relative = std::filesystem::path(name).relative_path();
  std::error_code error;
  const auto folder = std::filesystem::canonical(root, error);
  if (error) return std::nullopt;
  const auto file = std::filesystem::canonical(folder / relative, error);
  if (error) return std::nullopt;
  // Whole components are compared: "/srv/html-old" is not inside "/srv/html".
  const auto inside = std::mismatch(folder.begin(), folder.end(), file.begin(), file.end());
  if (inside.first != folder.end() || !std::filesystem::is_regular_file(file, error))
    return std::nullopt;
  return file;
}

void ServeFile(const std::filesystem::path& root, const std::string& name, const HttpRequest& req,
               HttpResponse& res) {
  const auto file = FileInside(root, name);
  std::ifstream in;
  if (file) in.open(*file, std::ios::binary);
  if (!file || !in) {
    res.status = 404;
    res.set_content("There is no file at " + req.path + ".\n", "text/plain; charset=utf-8");
    return;
  }
  std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  res.set_header("Accept-Ranges", "bytes");
  const std::string type = MediaTypeOf(*file);
  if (req.has_header("Range")) {
    if (auto range = SingleRange(req.get_header_value("Range"), content.size())) {
      const auto [first, last] = *range;
      if (first > last) {
        res.status = 416;
        res.set_header("Content-Range", "bytes */" + std::to_string(content.size()));
        res.set_content("", type);
        return;
      }
      res.status = 206;
      res.set_header("Content-Range", "bytes " + std::to_string(first) + "-" +
                                          std::to_string(last) + "/" +
                                          std::to_string(content.size()));
      res.set_content(content.substr(first, last - first + 1), type);
      return;
    }
  }
  res.set_content(std::move(content), type);
}

}  // namespace qb

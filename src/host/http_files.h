#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <utility>

#include "host/http_types.h"

namespace qb {

// The byte range [first, last] a "Range" header asks of a file of `size` bytes. Only a single
// range is served: a list of ranges, or a header that is not "bytes=...", gives nullopt (the
// whole file is sent), and a range past the end gives first > last.
std::optional<std::pair<size_t, size_t>> SingleRange(const std::string& header, size_t size);

// The media type for a file name's extension ("application/octet-stream" when unknown).
std::string MediaTypeOf(const std::filesystem::path& file);

// Answers with `file` (a regular file): whole, or the one range asked for (206), or 416 for a
// range the file does not have.
void ServeFile(const std::filesystem::path& file, const HttpRequest& req, HttpResponse& res);

}  // namespace qb

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

// The file `name` (a path below `root`, as a request gives it) when it is a regular file really
// inside `root`: its canonical path, with every "..", "." and symbolic link resolved. A name
// that leads out of the folder, by ".." or by a link, or to a folder or a device, gives nullopt.
std::optional<std::filesystem::path> FileInside(const std::filesystem::path& root,
                                                const std::string& name);

// Answers with the file `name` below `root` (see FileInside; 404 when it is not one): whole, or
// the one range asked for (206), or 416 for a range the file does not have.
void ServeFile(const std::filesystem::path& root, const std::string& name, const HttpRequest& req,
               HttpResponse& res);

}  // namespace qb

#pragma once

#include <filesystem>
#include <string>

namespace qb {

// Writes `content` to `path` through a temporary file in the same folder, flushed to disk and
// renamed over the target, so readers see either the old or the new file, never a torn one.
// Creates missing parent folders. Throws std::runtime_error naming the path on failure.
void WriteFileAtomically(const std::filesystem::path& path, const std::string& content,
                         unsigned mode = 0644);

}  // namespace qb

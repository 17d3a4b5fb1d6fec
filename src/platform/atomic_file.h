#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <string>

namespace qb {

// Writes `content` to `path` through a temporary file in the same folder, flushed to disk and
// renamed over the target, so readers see either the old or the new file, never a torn one.
// Creates missing parent folders. Throws std::runtime_error naming the path on failure.
void WriteFileAtomically(const std::filesystem::path& path, const std::string& content,
                         unsigned mode = 0644);

// Removes the temporary files WriteFileAtomically left beside `path` when the program was killed
// during a write ("NAME.tmp-XXXXXX"), once they are older than `min_age` (a younger one may be
// another writer's, halfway through). Returns how many were removed.
size_t RemoveStaleTempFiles(const std::filesystem::path& path,
                            std::chrono::seconds min_age = std::chrono::seconds(60));

}  // namespace qb

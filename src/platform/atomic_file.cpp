#include "platform/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace qb {

void WriteFileAtomically(const std::filesystem::path& path, const std::string& content,
                         unsigned mode) {
  std::error_code ec;
  if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path(), ec);
  if (ec)
    throw std::runtime_error("cannot create folder " + path.parent_path().string() + ": " +
                             ec.message());
  std::string tmp = path.string() + ".tmp-XXXXXX";
  const int fd = mkstemp(tmp.data());
  if (fd < 0)
    throw std::runtime_error("cannot write " + path.string() + ": " + std::strerror(errno));
  const char* data = content.data();
  size_t left = content.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, data, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      ::close(fd);
      ::unlink(tmp.c_str());
      throw std::runtime_error("cannot write " + path.string() + ": " + std::strerror(err));
    }
    data += n;
    left -= static_cast<size_t>(n);
  }
  ::fchmod(fd, static_cast<mode_t>(mode));
  if (::fsync(fd) != 0 || ::close(fd) != 0) {
    const int err = errno;
    ::unlink(tmp.c_str());
    throw std::runtime_error("cannot write " + path.string() + ": " + std::strerror(err));
  }
  if (::rename(tmp.c_str(), path.c_str()) != 0) {
    const int err = errno;
    ::unlink(tmp.c_str());
    throw std::runtime_error("cannot replace " + path.string() + ": " + std::strerror(err));
  }
}

size_t RemoveStaleTempFiles(const std::filesystem::path& path, std::chrono::seconds min_age) {
  namespace fs = std::filesystem;
  const std::string prefix = path.filename().string() + ".tmp-";
  const fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(".");
  std::error_code ec;
  size_t removed = 0;
  const auto now = fs::file_time_type::clock::now();
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    // mkstemp's six characters after the prefix, nothing else.
    if (name.size() != prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0) continue;
    std::error_code entry_ec;
    if (!it->is_regular_file(entry_ec)) continue;
    const auto written = fs::last_write_time(it->path(), entry_ec);
    if (entry_ec || now - written < min_age) continue;
    if (fs::remove(it->path(), entry_ec)) ++removed;
  }
  return removed;
}

}  // namespace qb

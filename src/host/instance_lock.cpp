#include "host/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace qb {

InstanceLock::~InstanceLock() {
  if (fd_ >= 0) ::close(fd_);
}

std::string InstanceLock::Acquire(const std::filesystem::path& folder) {
  const std::filesystem::path file = folder / "quellbrook-1wire.lock";
  fd_ = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd_ < 0) return "cannot create the lock file " + file.string() + ": " + std::strerror(errno);
  if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
    const int err = errno;
    char pid[32] = {0};
    const ssize_t n = ::pread(fd_, pid, sizeof pid - 1, 0);
    std::string holder = n > 0 ? std::string(pid, static_cast<size_t>(n)) : std::string();
    while (!holder.empty() && (holder.back() == '\n' || holder.back() == ' ')) holder.pop_back();
    ::close(fd_);
    fd_ = -1;
    if (err == EWOULDBLOCK) {
      return "another quellbrook-1wire is already running on the folder " + folder.string() +
             (holder.empty() ? std::string() : " (process " + holder + ")");
    }
    return "cannot lock " + file.string() + ": " + std::strerror(err);
  }
  const std::string pid = std::to_string(::getpid()) + "\n";
  if (::ftruncate(fd_, 0) == 0) {
    [[maybe_unused]] ssize_t written = ::pwrite(fd_, pid.data(), pid.size(), 0);
  }
  return {};
}

}  // namespace qb

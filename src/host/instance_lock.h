#pragma once

#include <filesystem>
#include <string>

namespace qb {

// One running program per host folder: an exclusive lock on a file in that folder, held for the
// life of the process (the kernel drops it when the process ends, however it ends).
class InstanceLock {
 public:
  InstanceLock() = default;
  ~InstanceLock();
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  // Returns an error text when another program holds the folder or the lock cannot be made.
  std::string Acquire(const std::filesystem::path& folder);

 private:
  int fd_ = -1;
};

}  // namespace qb

#include "tools/umockdev_restart.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace qb {

int RestartUnderUmockdev(const std::vector<std::string>& self_args, const std::string& needs,
                         std::ostream& err) {
  if (std::getenv("QB_UMOCKDEV_WRAPPED")) {
    err << "quellbrook-bus: umockdev-wrapper did not load umockdev's preload library\n";
    return 1;
  }
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) {
    err << "quellbrook-bus: cannot find this program to start it under umockdev-wrapper\n";
    return 1;
  }
  self[n] = '\0';
  setenv("QB_UMOCKDEV_WRAPPED", "1", 1);
  // A program built with AddressSanitizer refuses a library preloaded before its runtime; the
  // preload here is wanted.
  std::string asan = "verify_asan_link_order=0";
  if (const char* previous = std::getenv("ASAN_OPTIONS")) asan += std::string(":") + previous;
  setenv("ASAN_OPTIONS", asan.c_str(), 1);
  std::vector<std::string> args = {"umockdev-wrapper", self};
  args.insert(args.end(), self_args.begin(), self_args.end());
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  execvp(argv[0], argv.data());
  err << "quellbrook-bus: cannot start umockdev-wrapper (" << std::strerror(errno) << "); " << needs
      << " needs umockdev (apt-get install umockdev)\n";
  return 1;
}

}  // namespace qb

#include "access/masters/master_hooks.h"

#include <iostream>
#include <thread>

namespace qb::access {

void WaitThrough(const WaitHook& wait, std::chrono::milliseconds duration) {
  if (wait) {
    wait(duration);
  } else {
    std::this_thread::sleep_for(duration);
  }
}

void NoteThrough(const LogHook& log, const std::string& note) {
  if (log) {
    log(note);
  } else {
    std::cerr << note << std::endl;
  }
}

}  // namespace qb::access

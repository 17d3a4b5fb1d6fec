#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace qb {

// How many of one kind of costly request (charts) may be under way at once, per client address
// and in all: a place is taken for each and given back when its ticket goes.
class ConcurrencyLimit {
 public:
  enum class Refusal { kNone, kAddressBusy, kAllBusy };

  ConcurrencyLimit(unsigned per_address, unsigned total);

  // A ticket holding a place for `address`, or null with the reason in `refusal`. Any thread;
  // the ticket may go on any thread.
  std::shared_ptr<void> Enter(const std::string& address, Refusal& refusal);

  unsigned per_address() const { return per_address_; }
  unsigned total() const { return total_; }

 private:
  void Leave(const std::string& address);

  const unsigned per_address_;
  const unsigned total_;
  std::mutex mutex_;
  std::map<std::string, unsigned> by_address_;
  unsigned under_way_ = 0;
};

}  // namespace qb

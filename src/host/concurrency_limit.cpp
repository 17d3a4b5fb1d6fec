#include "host/concurrency_limit.h"

namespace qb {

ConcurrencyLimit::ConcurrencyLimit(unsigned per_address, unsigned total)
    : per_address_(per_address), total_(total) {}

std::shared_ptr<void> ConcurrencyLimit::Enter(const std::string& address, Refusal& refusal) {
  std::lock_guard<std::mutex> lock(mutex_);
  unsigned& mine = by_address_[address];
  if (mine >= per_address_) {
    refusal = Refusal::kAddressBusy;
    return nullptr;
  }
  if (under_way_ >= total_) {
    if (mine == 0) by_address_.erase(address);
    refusal = Refusal::kAllBusy;
    return nullptr;
  }
  ++mine;
  ++under_way_;
  refusal = Refusal::kNone;
  // The limit outlives its tickets: the server that owns it waits for its slow work to end.
  return std::shared_ptr<void>(static_cast<void*>(this),
                               [this, address](void*) { Leave(address); });
}

void ConcurrencyLimit::Leave(const std::string& address) {
  std::lock_guard<std::mutex> lock(mutex_);
  --under_way_;
  if (auto it = by_address_.find(address); it != by_address_.end() && --it->second == 0)
    by_address_.erase(it);
}

}  // namespace qb

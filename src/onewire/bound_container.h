#pragma once

#include <memory>
#include <string>

#include "access/container.h"

namespace qb {

// Holds a slot and the bus for one operation on one device: targets the device's family, binds
// its container and releases both on every way out. The operation keeps its own reference to the
// container, so one that lets events run still has it when a command in between binds the same
// slot; at the end the slot is emptied only if it still holds this operation's container.
class BoundContainer {
 public:
  // `rom` is a ROM id or device key (its first 16 characters name the device); `slot` is 2
  // (operations that end with a read) or 3 (queries, alarm writes, display).
  BoundContainer(const std::string& rom, int slot);
  ~BoundContainer();
  BoundContainer(const BoundContainer&) = delete;
  BoundContainer& operator=(const BoundContainer&) = delete;

  bool ok() const { return container_ != nullptr; }
  access::OneWireContainer& c() { return *container_; }
  const std::shared_ptr<access::OneWireContainer>& container() const { return container_; }

 private:
  int slot_;
  std::shared_ptr<access::DSPortAdapter> adapter_;
  std::shared_ptr<access::OneWireContainer> container_;
};

}  // namespace qb

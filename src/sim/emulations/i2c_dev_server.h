#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "sim/emulations/ds2482_emulator.h"

typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;

namespace qb::sim {

// Serves an emulated DS2482 behind an emulated /dev/i2c-N node, through umockdev, so that an
// unmodified program that drives a DS2482 through i2c-dev can be pointed at a simulated bus. The
// process must run under umockdev's preload (umockdev-wrapper), and so must the programs that
// use the node: children started afterwards inherit it.
//
// Served: I2C_FUNCS, I2C_SLAVE and I2C_SLAVE_FORCE (per open file), I2C_RETRIES, I2C_TIMEOUT,
// plain read and write, I2C_RDWR (the messages of one call form one transaction with repeated
// starts), and I2C_SMBUS quick, byte and byte-data transfers. A transaction to another address
// fails with ENXIO, as a NACK does on a real bus.
class I2cDevServer {
 public:
  I2cDevServer(std::shared_ptr<DS2482Emulator> emulator, int address, int bus_number = 1);
  ~I2cDevServer();
  I2cDevServer(const I2cDevServer&) = delete;
  I2cDevServer& operator=(const I2cDevServer&) = delete;

  // Whether this process runs under umockdev's preload.
  static bool UnderUmockdev();

  // Makes the node and starts serving it (on umockdev's own thread). Throws std::runtime_error
  // when not under umockdev's preload or when the node cannot be made.
  void Start();

  std::string NodePath() const { return "/dev/i2c-" + std::to_string(bus_number_); }
  // I2C transactions served so far (each read, write, I2C_RDWR or I2C_SMBUS call is one).
  uint64_t Transactions() const;

  // Called by umockdev's thread.
  bool HandleIoctl(UMockdevIoctlClient* client);
  bool HandleRead(UMockdevIoctlClient* client);
  bool HandleWrite(UMockdevIoctlClient* client);
  void ClientGone(UMockdevIoctlClient* client);

 private:
  // One transfer to the device at `address`: writes then reads, false when not acknowledged.
  bool Transfer(int address, bool read, uint8_t* data, size_t length);
  // Counts a transaction of `client` and returns the address it chose (-1: none yet). The caller
  // holds mutex_.
  int StartTransaction(UMockdevIoctlClient* client);

  std::shared_ptr<DS2482Emulator> emulator_;
  int address_;
  int bus_number_;
  UMockdevTestbed* testbed_ = nullptr;
  UMockdevIoctlBase* handler_ = nullptr;
  mutable std::mutex mutex_;
  std::map<UMockdevIoctlClient*, int> client_address_;
  uint64_t transactions_ = 0;
};

}  // namespace qb::sim

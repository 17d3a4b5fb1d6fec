#include "sim/emulations/i2c_dev_server.h"

#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <umockdev.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace qb::sim {

namespace {

gboolean OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
  return static_cast<I2cDevServer*>(self)->HandleIoctl(client);
}
gboolean OnRead(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
  return static_cast<I2cDevServer*>(self)->HandleRead(client);
}
gboolean OnWrite(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
  return static_cast<I2cDevServer*>(self)->HandleWrite(client);
}
void OnVanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
  static_cast<I2cDevServer*>(self)->ClientGone(client);
}

// Resolves `length` bytes behind the pointer at `offset` of `data`; null when that fails.
UMockdevIoctlData* Resolve(UMockdevIoctlData* data, size_t offset, size_t length) {
  GError* error = nullptr;
  UMockdevIoctlData* child = umockdev_ioctl_data_resolve(data, offset, length, &error);
  if (error) {
    g_error_free(error);
    return nullptr;
  }
  return child;
}

}  // namespace

I2cDevServer::I2cDevServer(std::shared_ptr<DS2482Emulator> emulator, int address, int bus_number)
    : emulator_(std::move(emulator)), address_(address), bus_number_(bus_number) {}

I2cDevServer::~I2cDevServer() {
  if (testbed_) {
    GError* error = nullptr;
    umockdev_testbed_detach_ioctl(testbed_, NodePath().c_str(), &error);
    if (error) g_error_free(error);
    g_object_unref(testbed_);
  }
  if (handler_) g_object_unref(handler_);
}

bool I2cDevServer::UnderUmockdev() {
  // umockdev-wrapper only preloads the library; the testbed's environment comes with the testbed.
  const char* preload = std::getenv("LD_PRELOAD");
  return preload && std::strstr(preload, "umockdev-preload");
}

void I2cDevServer::Start() {
  if (!UnderUmockdev())
    throw std::runtime_error(
        "the emulated I2C bus needs umockdev's preload: run under umockdev-wrapper");
  testbed_ = umockdev_testbed_new();
  const std::string n = std::to_string(bus_number_);
  const std::string description =
      "P: /devices/platform/i2c-emulated/i2c-" + n + "/i2c-dev/i2c-" + n + "\nN: i2c-" + n +
      "\nE: DEVNAME=/dev/i2c-" + n + "\nE: MAJOR=89\nE: MINOR=" + n +
      "\nE: SUBSYSTEM=i2c-dev\nA: dev=89:" + n + "\nA: name=emulated DS2482 bus\n";
  GError* error = nullptr;
  if (!umockdev_testbed_add_from_string(testbed_, description.c_str(), &error)) {
    const std::string why = error ? error->message : "unknown error";
    if (error) g_error_free(error);
    throw std::runtime_error("cannot make the emulated " + NodePath() + ": " + why);
  }
  handler_ = umockdev_ioctl_base_new();
  g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(OnIoctl), this);
  g_signal_connect(handler_, "handle-read", G_CALLBACK(OnRead), this);
  g_signal_connect(handler_, "handle-write", G_CALLBACK(OnWrite), this);
  g_signal_connect(handler_, "client-vanished", G_CALLBACK(OnVanished), this);
  if (!umockdev_testbed_attach_ioctl(testbed_, NodePath().c_str(), handler_, &error)) {
    const std::string why = error ? error->message : "unknown error";
    if (error) g_error_free(error);
    throw std::runtime_error("cannot serve the emulated " + NodePath() + ": " + why);
  }
}

uint64_t I2cDevServer::Transactions() const {
  std::lock_guard lock(mutex_);
  return transactions_;
}

void I2cDevServer::ClientGone(UMockdevIoctlClient* client) {
  std::lock_guard lock(mutex_);
  client_address_.erase(client);
}

bool I2cDevServer::Transfer(int address, bool read, uint8_t* data, size_t length) {
  if (address != address_) return false;
  return read ? emulator_->Read(data, length) : emulator_->Write(data, length);
}

int I2cDevServer::StartTransaction(UMockdevIoctlClient* client) {
  ++transactions_;
  const auto it = client_address_.find(client);
  return it == client_address_.end() ? -1 : it->second;
}

bool I2cDevServer::HandleRead(UMockdevIoctlClient* client) {
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  std::unique_lock lock(mutex_);
  const int address = StartTransaction(client);
  const size_t length = static_cast<size_t>(arg->data_len);
  std::vector<uint8_t> bytes(length);
  const bool ok = Transfer(address, true, bytes.data(), length);
  lock.unlock();
  if (!ok) {
    umockdev_ioctl_client_complete(client, -1, ENXIO);
    return true;
  }
  umockdev_ioctl_data_update(arg, 0, bytes.data(), static_cast<gint>(length));
  umockdev_ioctl_client_complete(client, static_cast<glong>(length), 0);
  return true;
}

bool I2cDevServer::HandleWrite(UMockdevIoctlClient* client) {
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  std::unique_lock lock(mutex_);
  const int address = StartTransaction(client);
  const bool ok = Transfer(address, false, arg->data, static_cast<size_t>(arg->data_len));
  lock.unlock();
  umockdev_ioctl_client_complete(client, ok ? arg->data_len : -1, ok ? 0 : ENXIO);
  return true;
}

bool I2cDevServer::HandleIoctl(UMockdevIoctlClient* client) {
  const unsigned long request = umockdev_ioctl_client_get_request(client);
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  const unsigned long value = *reinterpret_cast<unsigned long*>(arg->data);
  auto done = [&](long result, int error) {
    umockdev_ioctl_client_complete(client, result, error);
    return true;
  };
  switch (request) {
    case I2C_FUNCS: {
      UMockdevIoctlData* funcs = Resolve(arg, 0, sizeof(unsigned long));
      if (!funcs) return done(-1, EFAULT);
      const unsigned long f =
          I2C_FUNC_I2C | I2C_FUNC_SMBUS_QUICK | I2C_FUNC_SMBUS_BYTE | I2C_FUNC_SMBUS_BYTE_DATA;
      umockdev_ioctl_data_update(funcs, 0, const_cast<guint8*>(reinterpret_cast<const guint8*>(&f)),
                                 sizeof f);
      return done(0, 0);
    }
    case I2C_SLAVE:
    case I2C_SLAVE_FORCE: {
      if (value > 0x7F) return done(-1, EINVAL);
      std::lock_guard lock(mutex_);
      client_address_[client] = static_cast<int>(value);
      return done(0, 0);
    }
    case I2C_RETRIES:
    case I2C_TIMEOUT:
    case I2C_PEC:
      return done(0, 0);
    case I2C_TENBIT:
      return done(value ? -1 : 0, value ? EINVAL : 0);
    case I2C_RDWR: {
      UMockdevIoctlData* rdwr = Resolve(arg, 0, sizeof(i2c_rdwr_ioctl_data));
      if (!rdwr) return done(-1, EFAULT);
      const auto* request_data = reinterpret_cast<const i2c_rdwr_ioctl_data*>(rdwr->data);
      const unsigned count = request_data->nmsgs;
      if (count == 0 || count > I2C_RDWR_IOCTL_MAX_MSGS) return done(-1, EINVAL);
      UMockdevIoctlData* msgs =
          Resolve(rdwr, offsetof(i2c_rdwr_ioctl_data, msgs), count * sizeof(i2c_msg));
      if (!msgs) return done(-1, EFAULT);
      std::unique_lock lock(mutex_);
      ++transactions_;
      for (unsigned i = 0; i < count; ++i) {
        const auto* m = reinterpret_cast<const i2c_msg*>(msgs->data) + i;
        UMockdevIoctlData* buffer =
            Resolve(msgs, i * sizeof(i2c_msg) + offsetof(i2c_msg, buf), m->len);
        if (!buffer) return done(-1, EFAULT);
        const bool read = m->flags & I2C_M_RD;
        if (!Transfer(m->addr, read, buffer->data, m->len)) {
          lock.unlock();
          return done(-1, ENXIO);
        }
        // What a read put in the buffer is synced back to the client when the call completes.
      }
      lock.unlock();
      return done(count, 0);
    }
    case I2C_SMBUS: {
      UMockdevIoctlData* smbus = Resolve(arg, 0, sizeof(i2c_smbus_ioctl_data));
      if (!smbus) return done(-1, EFAULT);
      const auto s = *reinterpret_cast<const i2c_smbus_ioctl_data*>(smbus->data);
      std::unique_lock lock(mutex_);
      const int address = StartTransaction(client);
      const bool read = s.read_write == I2C_SMBUS_READ;
      bool ok = false;
      uint8_t byte = 0;
      if (s.size == I2C_SMBUS_QUICK) {
        ok = Transfer(address, false, &byte, 0);
      } else if (s.size == I2C_SMBUS_BYTE && !read) {
        byte = s.command;
        ok = Transfer(address, false, &byte, 1);
      } else if (s.size == I2C_SMBUS_BYTE || s.size == I2C_SMBUS_BYTE_DATA) {
        UMockdevIoctlData* data =
            Resolve(smbus, offsetof(i2c_smbus_ioctl_data, data), sizeof(i2c_smbus_data));
        if (!data) return done(-1, EFAULT);
        if (s.size == I2C_SMBUS_BYTE) {  // read a byte
          ok = Transfer(address, true, &byte, 1);
        } else if (read) {  // write the command, then read a byte
          uint8_t command = s.command;
          ok = Transfer(address, false, &command, 1) && Transfer(address, true, &byte, 1);
        } else {
          uint8_t pair[2] = {s.command, data->data[0]};
          ok = Transfer(address, false, pair, 2);
        }
        if (ok && read) umockdev_ioctl_data_update(data, 0, &byte, 1);
      } else {
        lock.unlock();
        return done(-1, EOPNOTSUPP);
      }
      lock.unlock();
      return done(ok ? 0 : -1, ok ? 0 : ENXIO);
    }
    default:
      return done(-1, ENOTTY);
  }
}

}  // namespace qb::sim

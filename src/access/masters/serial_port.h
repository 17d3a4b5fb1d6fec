#pragma once

#include <chrono>
#include <string>

#include "access/masters/serial_link.h"

namespace qb::access {

// A serial port on a tty device (termios): raw 8N1, 9600 baud at the start. Opened exclusively,
// so two programs never talk to one adapter at once. Works on a pseudo-terminal too, where the
// break and the baud rate have no effect.
//
// Every failure (the port cannot be opened, the device vanished: unplugged, or the far side of a
// pseudo-terminal closed) raises AccessError GeneralFailure naming the port. After a device
// vanished, the next call opens the path again, so a caller can retry once it is back.
class SerialPort : public SerialLink {
 public:
  explicit SerialPort(std::string path);
  ~SerialPort() override;
  SerialPort(const SerialPort&) = delete;
  SerialPort& operator=(const SerialPort&) = delete;

  void Write(const uint8_t* data, size_t length) override;
  size_t Read(uint8_t* data, size_t length, std::chrono::milliseconds timeout) override;
  void SendBreak() override;
  void SetBaudRate(int baud) override;
  void DiscardInput() override;
  std::string Describe() const override { return path_; }

 private:
  void OpenPort();
  int Fd();
  void ClosePort();
  [[noreturn]] void Vanished(const std::string& what, int error);

  std::string path_;
  int fd_ = -1;
  int baud_ = 9600;
};

}  // namespace qb::access

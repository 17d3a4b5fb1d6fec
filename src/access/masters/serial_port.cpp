#include "access/masters/serial_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "access/errors.h"

namespace qb::access {

namespace {

speed_t BaudConstant(int baud) {
  switch (baud) {
    case 9600:
      return B9600;
    case 19200:
      return B19200;
    case 57600:
      return B57600;
    case 115200:
      return B115200;
    default:
      return B0;
  }
}

std::string ErrorText(int error) {
  return std::strerror(error);
}

}  // namespace

SerialPort::SerialPort(std::string path) : path_(std::move(path)) {
  OpenPort();
}

SerialPort::~SerialPort() {
  ClosePort();
}

void SerialPort::ClosePort() {
  if (fd_ >= 0) {
    ioctl(fd_, TIOCNXCL);
    close(fd_);
  }
  fd_ = -1;
}

void SerialPort::OpenPort() {
  const int fd = open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0)
    ThrowBusError("SerialPort", "cannot open the serial port " + path_ + ": " + ErrorText(errno));
  if (ioctl(fd, TIOCEXCL) != 0 && errno != ENOTTY && errno != EINVAL) {
    const int e = errno;
    close(fd);
    ThrowBusError("SerialPort", "cannot take the serial port " + path_ + ": " + ErrorText(e));
  }
  // TIOCEXCL keeps other programs out, but not root; the lock keeps out every program that
  // asks for it, root or not (our own masters do).
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int e = errno;
    close(fd);
    ThrowBusError("SerialPort", "the serial port " + path_ + " is in use: " + ErrorText(e));
  }
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) {
    const int e = errno;
    close(fd);
    ThrowBusError("SerialPort", path_ + " is not a serial port: " + ErrorText(e));
  }
  cfmakeraw(&tio);
  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
  tio.c_cflag |= CS8 | CLOCAL | CREAD;
  tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  cfsetispeed(&tio, BaudConstant(baud_));
  cfsetospeed(&tio, BaudConstant(baud_));
  if (tcsetattr(fd, TCSANOW, &tio) != 0) {
    const int e = errno;
    close(fd);
    ThrowBusError("SerialPort", "cannot set up the serial port " + path_ + ": " + ErrorText(e));
  }
  tcflush(fd, TCIOFLUSH);
  fd_ = fd;
}

int SerialPort::Fd() {
  if (fd_ < 0) OpenPort();  // the device vanished earlier: it may be back
  return fd_;
}

void SerialPort::Vanished(const std::string& what, int error) {
  ClosePort();
  ThrowBusError("SerialPort", "the serial port " + path_ + " failed while " + what + ": " +
                                  (error ? ErrorText(error) : std::string("the device is gone")));
}

void SerialPort::Write(const uint8_t* data, size_t length) {
  const int fd = Fd();
  size_t done = 0;
  while (done < length) {
    const ssize_t n = write(fd, data + done, length - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) Vanished("writing", errno);
    pollfd p{fd, POLLOUT, 0};
    const int r = poll(&p, 1, 2000);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) Vanished("writing", errno);
    if (r == 0) ThrowBusError("SerialPort", "the serial port " + path_ + " takes no more output");
    if (p.revents & (POLLHUP | POLLERR | POLLNVAL)) Vanished("writing", 0);
  }
}

size_t SerialPort::Read(uint8_t* data, size_t length, std::chrono::milliseconds timeout) {
  const int fd = Fd();
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  size_t done = 0;
  // A reply is rarely there yet when it is asked for: wait first, then read what came (a read
  // before the wait would mostly find nothing and cost a system call per exchange).
  while (done < length) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    const int r = poll(&p, 1, static_cast<int>(std::max<int64_t>(0, left.count())));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) Vanished("reading", errno);
    if (r == 0) break;
    const ssize_t n = read(fd, data + done, length - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) Vanished("reading", errno);
    // Nothing to read after poll reported a hang-up: the device is gone (a pseudo-terminal whose
    // far side closed reads as end of file).
    if (p.revents & (POLLHUP | POLLERR | POLLNVAL)) Vanished("reading", 0);
  }
  return done;
}

void SerialPort::SendBreak() {
  // A pseudo-terminal has no break: a failure other than a vanished device is not an error.
  if (tcsendbreak(Fd(), 0) != 0 && (errno == EIO || errno == ENODEV || errno == EBADF))
    Vanished("sending a break", errno);
}

void SerialPort::SetBaudRate(int baud) {
  const speed_t speed = BaudConstant(baud);
  if (speed == B0)
    ThrowBusError("SerialPort",
                  "the serial port " + path_ + " cannot run at " + std::to_string(baud) + " baud");
  const int fd = Fd();
  tcdrain(fd);  // what was queued goes out at the old rate
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) Vanished("setting the baud rate", errno);
  cfsetispeed(&tio, speed);
  cfsetospeed(&tio, speed);
  if (tcsetattr(fd, TCSANOW, &tio) != 0) {
    if (errno == EIO || errno == ENODEV) Vanished("setting the baud rate", errno);
    ThrowBusError("SerialPort", "cannot set " + std::to_string(baud) + " baud on " + path_ + ": " +
                                    ErrorText(errno));
  }
  baud_ = baud;
}

void SerialPort::DiscardInput() {
  if (tcflush(Fd(), TCIFLUSH) != 0 && (errno == EIO || errno == ENODEV))
    Vanished("discarding input", errno);
}

}  // namespace qb::access

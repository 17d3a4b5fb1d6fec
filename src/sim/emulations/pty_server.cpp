#include "sim/emulations/pty_server.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <stdexcept>

#include "access/rom.h"
#include "sim/emulations/ds2480b_emulator.h"

namespace qb::sim {

namespace {

std::string ErrnoText() {
  return strerror(errno);
}

void WriteAll(int fd, const uint8_t* data, size_t length) {
  while (length > 0) {
    const ssize_t n = write(fd, data, length);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) {
        pollfd p{fd, POLLOUT, 0};
        poll(&p, 1, 100);
        continue;
      }
      return;  // the program went away; its next open starts afresh
    }
    data += n;
    length -= static_cast<size_t>(n);
  }
}

// The DS2480B takes its own baud rate from the timing byte and its configuration, not from the
// line: what the terminal is set to does not matter to it.
class DS2480BSerialEmulation : public SerialEmulation {
 public:
  explicit DS2480BSerialEmulation(std::shared_ptr<SimBus> bus) : emulator_(std::move(bus)) {}
  std::vector<uint8_t> Receive(const uint8_t* data, size_t length, int) override {
    return emulator_.Receive(data, length);
  }
  void PowerUp() override { emulator_.Break(); }
  std::string Name() const override { return "a DS2480B adapter"; }

 private:
  DS2480BEmulator emulator_;
};

int BaudOf(speed_t speed) {
  switch (speed) {
    case B1200:
      return 1200;
    case B2400:
      return 2400;
    case B4800:
      return 4800;
    case B9600:
      return 9600;
    case B19200:
      return 19200;
    case B38400:
      return 38400;
    case B57600:
      return 57600;
    case B115200:
      return 115200;
    case B230400:
      return 230400;
    default:
      return 0;
  }
}

}  // namespace

PtyServer::PtyServer(std::shared_ptr<SimBus> bus, std::string link_path, std::string record_path)
    : PtyServer(std::make_unique<DS2480BSerialEmulation>(std::move(bus)), std::move(link_path),
                std::move(record_path)) {}

PtyServer::PtyServer(std::unique_ptr<SerialEmulation> emulation, std::string link_path,
                     std::string record_path)
    : emulation_(std::move(emulation)),
      link_path_(std::move(link_path)),
      record_path_(std::move(record_path)) {}

int PtyServer::TerminalBaud() const {
  // On Linux the master side reports the settings the program made on the terminal.
  termios tio{};
  if (tcgetattr(master_fd_, &tio) != 0) return 0;
  return BaudOf(cfgetospeed(&tio));
}

PtyServer::~PtyServer() {
  Stop();
}

void PtyServer::Start() {
  namespace fs = std::filesystem;
  if (thread_.joinable()) return;
  try {
    if (!record_path_.empty()) {
      record_.open(record_path_, std::ios::out | std::ios::trunc);
      if (!record_) throw std::runtime_error("cannot write the recording " + record_path_);
    }
    master_fd_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_fd_ < 0 || grantpt(master_fd_) != 0 || unlockpt(master_fd_) != 0)
      throw std::runtime_error("cannot create a pseudo-terminal: " + ErrnoText());
    char name[128];
    if (ptsname_r(master_fd_, name, sizeof name) != 0)
      throw std::runtime_error("cannot name the pseudo-terminal: " + ErrnoText());
    terminal_path_ = name;
    slave_fd_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_fd_ < 0)
      throw std::runtime_error("cannot open " + terminal_path_ + ": " + ErrnoText());
    // Raw bytes both ways until the program sets its own mode: no echo, no line editing, no
    // translation of CR or NL, all eight bits.
    termios tio{};
    tcgetattr(slave_fd_, &tio);
    cfmakeraw(&tio);
    cfsetspeed(&tio, B9600);
    tcsetattr(slave_fd_, TCSANOW, &tio);
    tcgetattr(master_fd_, &tio);
    cfmakeraw(&tio);
    tcsetattr(master_fd_, TCSANOW, &tio);
    fcntl(master_fd_, F_SETFL, fcntl(master_fd_, F_GETFL) | O_NONBLOCK);
    // Not held open: the terminal hangs up whenever no program has it open, which is how the
    // server sees a program close the port.
    close(slave_fd_);
    slave_fd_ = -1;
    watch_fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch_fd_ >= 0 &&
        inotify_add_watch(watch_fd_, terminal_path_.c_str(), IN_OPEN | IN_CLOSE) < 0) {
      close(watch_fd_);
      watch_fd_ = -1;
    }

    // A link left by an earlier run is replaced; any other file at the path is not ours to touch.
    std::error_code ec;
    const auto status = fs::symlink_status(link_path_, ec);
    if (!ec && fs::exists(status)) {
      if (!fs::is_symlink(status))
        throw std::runtime_error(link_path_ + " exists and is not a link; not replacing it");
      fs::remove(link_path_, ec);
    }
    if (symlink(terminal_path_.c_str(), link_path_.c_str()) != 0)
      throw std::runtime_error("cannot make the link " + link_path_ + ": " + ErrnoText());
    link_made_ = true;
    if (pipe2(wake_fds_, O_CLOEXEC | O_NONBLOCK) != 0)
      throw std::runtime_error("cannot make a pipe: " + ErrnoText());
  } catch (...) {
    CloseAll();
    throw;
  }
  stop_ = false;
  thread_ = std::thread([this] { Serve(); });
}

void PtyServer::Stop() {
  if (thread_.joinable()) {
    stop_ = true;
    const uint8_t wake = 1;
    [[maybe_unused]] const ssize_t n = write(wake_fds_[1], &wake, 1);
    thread_.join();
  }
  CloseAll();
}

void PtyServer::CloseAll() {
  if (link_made_) {
    // Only our own link: another server may have taken the path over since.
    char target[256];
    const ssize_t n = readlink(link_path_.c_str(), target, sizeof target - 1);
    if (n > 0 && std::string(target, static_cast<size_t>(n)) == terminal_path_)
      unlink(link_path_.c_str());
    link_made_ = false;
  }
  for (int* fd : {&master_fd_, &slave_fd_, &wake_fds_[0], &wake_fds_[1], &watch_fd_}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
  if (record_.is_open()) record_.close();
}

void PtyServer::Record(char direction, const uint8_t* data, size_t length) {
  if (!record_.is_open() || length == 0) return;
  std::string line(1, direction);
  for (size_t i = 0; i < length; ++i) {
    line += ' ';
    line += access::BytesToHexText(&data[i], 1);
  }
  record_ << line << '\n';
  record_.flush();
}

// A DS9097U-class adapter draws its power from the port's control lines, which a program raises
// when it opens the port and which drop when the last program closes it: a program that opens the
// terminal finds the adapter just powered up, as it would on a real port. (A pseudo-terminal
// carries no break, so this is also how an adapter left in data mode by a killed program gets
// reset.) Opens and closes are watched on the terminal's device node; where that cannot be
// watched, a hang-up of the terminal stands in for the close.
void PtyServer::PowerUp() {
  emulation_->PowerUp();
  if (powered_before_ && record_.is_open()) record_ << "# port opened again: adapter powered up\n";
  powered_before_ = true;
}

void PtyServer::WatchOpens() {
  if (watch_fd_ < 0) return;
  alignas(inotify_event) char events[4096];
  for (;;) {
    const ssize_t n = read(watch_fd_, events, sizeof events);
    if (n <= 0) return;
    for (ssize_t at = 0; at < n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(events + at);
      if (event->mask & IN_OPEN) {
        if (openers_++ == 0) PowerUp();
      } else if ((event->mask & IN_CLOSE) && openers_ > 0) {
        --openers_;
      }
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
}

void PtyServer::Serve() {
  uint8_t buffer[512];
  bool hung_up = true;  // no program has the terminal open (without the watch)
  while (!stop_) {
    pollfd fds[3] = {{master_fd_, POLLIN, 0}, {wake_fds_[0], POLLIN, 0}, {watch_fd_, POLLIN, 0}};
    const int ready = poll(fds, 3, 500);
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0 || stop_) continue;
    // A program opens the port before it writes: its open is handled before its bytes.
    if (fds[2].revents & POLLIN) WatchOpens();
    if (fds[0].revents & POLLHUP) {
      hung_up = true;
      usleep(20000);  // hung up until a program opens the terminal: poll would not wait
      continue;
    }
    if (!(fds[0].revents & POLLIN)) continue;
    const ssize_t n = read(master_fd_, buffer, sizeof buffer);
    if (n < 0 && errno == EIO) {
      hung_up = true;
      usleep(20000);
      continue;
    }
    if (n <= 0) continue;
    if (hung_up) {
      hung_up = false;
      if (watch_fd_ < 0) PowerUp();
    }
    const size_t length = static_cast<size_t>(n);
    bytes_received_ += length;
    Record('>', buffer, length);
    const auto answer = emulation_->Receive(buffer, length, TerminalBaud());
    Record('<', answer.data(), answer.size());
    WriteAll(master_fd_, answer.data(), answer.size());
  }
}

}  // namespace qb::sim

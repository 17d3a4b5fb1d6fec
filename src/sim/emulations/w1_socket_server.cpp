#include "sim/emulations/w1_socket_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "sim/emulations/w1_socket_protocol.h"

namespace qb::sim {

W1SocketServer::W1SocketServer(std::shared_ptr<W1KernelEmulator> kernel, std::string socket_path)
    : kernel_(std::move(kernel)), path_(std::move(socket_path)) {}

W1SocketServer::~W1SocketServer() {
  Stop();
}

void W1SocketServer::Start() {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path_.size() >= sizeof address.sun_path)
    throw std::runtime_error("the emulation's socket path " + path_ + " is too long");
  std::strcpy(address.sun_path, path_.c_str());
  listen_fd_ = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  ::unlink(path_.c_str());
  if (listen_fd_ < 0 ||
      ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listen_fd_, 16) != 0 || ::pipe2(wake_fds_, O_CLOEXEC) != 0) {
    const std::string why = std::strerror(errno);
    Stop();
    throw std::runtime_error("cannot listen on " + path_ + ": " + why);
  }
  thread_ = std::thread([this] { Serve(); });
}

void W1SocketServer::Stop() {
  stop_ = true;
  if (wake_fds_[1] >= 0) {
    const char b = 0;
    (void)!::write(wake_fds_[1], &b, 1);
  }
  if (thread_.joinable()) thread_.join();
  std::lock_guard lock(clients_mutex_);
  for (const Client& c : clients_) ::close(c.fd);
  clients_.clear();
  for (int& fd : wake_fds_) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
  if (listen_fd_ >= 0) {
    ::close(listen_fd_);
    ::unlink(path_.c_str());
    listen_fd_ = -1;
  }
}

void W1SocketServer::Broadcast(const std::vector<uint8_t>& packet) {
  // Never waits on a client that does not read its events: the kernel drops a group message for
  // a full socket too (ENOBUFS), and a wait here would hold the lock every request needs.
  std::lock_guard lock(clients_mutex_);
  for (const Client& c : clients_)
    if (c.joined) (void)!::send(c.fd, packet.data(), packet.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

bool W1SocketServer::Answer(Client& client) {
  std::vector<uint8_t> buffer(65536);
  const ssize_t n = ::recv(client.fd, buffer.data(), buffer.size(), 0);
  if (n <= 0) return n < 0 && (errno == EINTR || errno == EAGAIN);
  buffer.resize(static_cast<size_t>(n));
  if (buffer.size() == kJoinMessageSize &&
      std::memcmp(buffer.data(), kJoinMagic, sizeof kJoinMagic) == 0) {
    const int32_t error = kernel_->Join();
    if (error == 0) client.joined = true;
    std::memcpy(buffer.data() + sizeof kJoinMagic, &error, 4);
    return ::send(client.fd, buffer.data(), buffer.size(), MSG_NOSIGNAL) > 0;
  }
  for (const auto& reply : kernel_->Handle(buffer))
    if (::send(client.fd, reply.data(), reply.size(), MSG_NOSIGNAL) < 0) return false;
  return true;
}

void W1SocketServer::Serve() {
  while (!stop_) {
    std::vector<pollfd> fds = {{listen_fd_, POLLIN, 0}, {wake_fds_[0], POLLIN, 0}};
    {
      std::lock_guard lock(clients_mutex_);
      for (const Client& c : clients_) fds.push_back({c.fd, POLLIN, 0});
    }
    if (::poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (stop_) return;
    if (fds[0].revents & POLLIN) {
      const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) {
        std::lock_guard lock(clients_mutex_);
        clients_.push_back({fd, false});
      }
    }
    for (size_t i = 2; i < fds.size(); ++i) {
      if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      std::lock_guard lock(clients_mutex_);
      for (auto it = clients_.begin(); it != clients_.end(); ++it) {
        if (it->fd != fds[i].fd) continue;
        if (!Answer(*it)) {
          ::close(it->fd);
          clients_.erase(it);
        }
        break;
      }
    }
  }
}

}  // namespace qb::sim

#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/emulations/w1_kernel_emulator.h"

namespace qb::sim {

// Serves an emulated kernel to programs run with the preloaded netlink library: it listens on a
// Unix socket (the path the library finds in QB_W1_EMULATION) and answers each connection's
// packets on a thread of its own.
class W1SocketServer {
 public:
  W1SocketServer(std::shared_ptr<W1KernelEmulator> kernel, std::string socket_path);
  ~W1SocketServer();
  W1SocketServer(const W1SocketServer&) = delete;
  W1SocketServer& operator=(const W1SocketServer&) = delete;

  // Listens and starts serving. std::runtime_error naming the path when it cannot.
  void Start();
  void Stop();
  // Sends an event packet to every connection that joined the group.
  void Broadcast(const std::vector<uint8_t>& packet);

  const std::string& SocketPath() const { return path_; }
  W1KernelEmulator& kernel() { return *kernel_; }

 private:
  struct Client {
    int fd;
    bool joined;
  };
  void Serve();
  // Answers one packet from `client`; false when the connection ended.
  bool Answer(Client& client);

  std::shared_ptr<W1KernelEmulator> kernel_;
  std::string path_;
  int listen_fd_ = -1;
  int wake_fds_[2] = {-1, -1};
  std::mutex clients_mutex_;
  std::vector<Client> clients_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace qb::sim

#pragma once

#include <atomic>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "sim/emulations/serial_emulation.h"
#include "sim/sim_bus.h"

namespace qb::sim {

// Serves a simulated bus as a serial adapter behind a pseudo-terminal (a DS2480B, or a passive
// DS9097E), so that any program that talks to such an adapter on a serial port can be pointed at
// it. Each chunk of characters goes to the emulation with the baud rate the program has set on the
// terminal (read from the master side, which reports the terminal's settings). A symbolic link at a
// path of the caller's choosing leads to the terminal (its /dev/pts name changes from run to run).
//
// When asked, every byte is recorded both ways to a text file, one line per chunk in the order
// they passed: "> C1" for bytes from the program, "< CD" for the adapter's answers. When a second
// program opens the terminal, a line "# port opened again: adapter powered up" marks the point
// where the adapter went back to its power-up state.
class PtyServer {
 public:
  // A DS2480B adapter. `record_path` empty: nothing is recorded.
  PtyServer(std::shared_ptr<SimBus> bus, std::string link_path, std::string record_path = {});
  PtyServer(std::unique_ptr<SerialEmulation> emulation, std::string link_path,
            std::string record_path = {});
  ~PtyServer();
  PtyServer(const PtyServer&) = delete;
  PtyServer& operator=(const PtyServer&) = delete;

  // Opens the terminal, makes the link and starts serving on a thread of its own. Throws
  // std::runtime_error naming what failed (the link path, the recording file).
  void Start();
  // Stops serving, removes the link (if it still leads to this server's terminal) and closes.
  void Stop();

  const std::string& TerminalPath() const { return terminal_path_; }
  const std::string& LinkPath() const { return link_path_; }
  const SerialEmulation& emulation() const { return *emulation_; }
  // Bytes received from the program so far.
  uint64_t BytesReceived() const { return bytes_received_; }

 private:
  void Serve();
  void PowerUp();
  void WatchOpens();
  void Record(char direction, const uint8_t* data, size_t length);
  void CloseAll();

  int TerminalBaud() const;

  std::unique_ptr<SerialEmulation> emulation_;
  std::string link_path_;
  std::string record_path_;
  std::string terminal_path_;
  std::ofstream record_;
  int master_fd_ = -1;
  int slave_fd_ = -1;
  int wake_fds_[2] = {-1, -1};
  int watch_fd_ = -1;  // opens and closes of the terminal's device node
  int openers_ = 0;
  bool powered_before_ = false;
  bool link_made_ = false;
  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> bytes_received_{0};
  std::thread thread_;
};

}  // namespace qb::sim

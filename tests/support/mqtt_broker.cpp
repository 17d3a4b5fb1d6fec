#include "support/mqtt_broker.h"

#include <arpa/inet.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <thread>

extern char** environ;

namespace qb::test {

namespace {

int FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
    port = ntohs(addr.sin_port);
  close(fd);
  return port;
}

bool Accepts(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  close(fd);
  return ok;
}

}  // namespace

std::string MosquittoProgram() {
  for (const char* p : {"/usr/sbin/mosquitto", "/usr/bin/mosquitto", "/usr/local/sbin/mosquitto"}) {
    if (access(p, X_OK) == 0) return p;
  }
  return {};
}

MqttBroker::MqttBroker(std::filesystem::path folder) : folder_(std::move(folder)) {
  static std::once_flag library;
  std::call_once(library, [] { mosquitto_lib_init(); });
  port_ = FreePort();
}

MqttBroker::~MqttBroker() {
  Stop();
}

bool MqttBroker::Start(std::string& error) {
  const std::string program = MosquittoProgram();
  if (program.empty()) {
    error = "mosquitto is not installed";
    return false;
  }
  const auto conf = folder_ / "mosquitto.conf";
  std::ofstream(conf) << "listener " << port_ << " 127.0.0.1\nallow_anonymous true\n"
                      << "persistence false\nlog_dest none\n";
  const std::string conf_text = conf.string();
  const char* argv[] = {program.c_str(), "-c", conf_text.c_str(), nullptr};
  if (posix_spawn(&pid_, program.c_str(), nullptr, nullptr, const_cast<char* const*>(argv),
                  environ) != 0) {
    pid_ = -1;
    error = "mosquitto could not be started";
    return false;
  }
  // A restart on the same port may have to wait for the old socket.
  for (int i = 0; i < 200; ++i) {
    if (Accepts(port_)) return true;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      error = "mosquitto ended at once (port " + std::to_string(port_) + " taken?)";
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  error = "mosquitto does not accept connections on port " + std::to_string(port_);
  return false;
}

void MqttBroker::Stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = -1;
}

MqttProbe::MqttProbe(int port, const std::string& subscription) : subscription_(subscription) {
  static std::once_flag library;
  std::call_once(library, [] { mosquitto_lib_init(); });
  client_ = mosquitto_new(nullptr, true, this);
  mosquitto_message_callback_set(client_, &MqttProbe::OnMessage);
  mosquitto_connect_callback_set(client_, &MqttProbe::OnConnect);
  mosquitto_connect(client_, "127.0.0.1", port, 30);
  mosquitto_loop_start(client_);
  WaitFor([this](const auto&) { return connected_; }, std::chrono::seconds(5));
}

MqttProbe::~MqttProbe() {
  mosquitto_disconnect(client_);
  mosquitto_loop_stop(client_, true);
  mosquitto_destroy(client_);
}

void MqttProbe::OnConnect(mosquitto* client, void* self, int rc) {
  auto& probe = *static_cast<MqttProbe*>(self);
  if (rc == 0) mosquitto_subscribe(client, nullptr, probe.subscription_.c_str(), 1);
  std::lock_guard lock(probe.mutex_);
  probe.connected_ = rc == 0;
  probe.changed_.notify_all();
}

void MqttProbe::OnMessage(mosquitto*, void* self, const mosquitto_message* m) {
  auto& probe = *static_cast<MqttProbe*>(self);
  std::lock_guard lock(probe.mutex_);
  auto& seen = probe.seen_[m->topic];
  seen.payload =
      std::string(static_cast<const char*>(m->payload), static_cast<size_t>(m->payloadlen));
  seen.retained = m->retain;
  ++seen.count;
  probe.changed_.notify_all();
}

bool MqttProbe::connected() const {
  std::lock_guard lock(mutex_);
  return connected_;
}

void MqttProbe::Publish(const std::string& topic, const std::string& payload, bool retain) {
  mosquitto_publish(client_, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                    payload.data(), 1, retain);
}

bool MqttProbe::WaitFor(const std::function<bool(const std::map<std::string, Message>&)>& done,
                        std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return done(seen_); });
}

std::map<std::string, MqttProbe::Message> MqttProbe::Snapshot() const {
  std::lock_guard lock(mutex_);
  return seen_;
}

std::string MqttProbe::Last(const std::string& topic) const {
  std::lock_guard lock(mutex_);
  auto it = seen_.find(topic);
  return it == seen_.end() ? "<none>" : it->second.payload;
}

}  // namespace qb::test

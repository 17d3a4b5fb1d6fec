#pragma once

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct mosquitto;
struct mosquitto_message;

namespace qb::test {

// The mosquitto broker's program, or empty when it is not installed.
std::string MosquittoProgram();

// A mosquitto broker of the test's own on a free loopback port (never a system service): no
// persistence, so a restarted broker holds no retained messages until a client publishes them.
class MqttBroker {
 public:
  explicit MqttBroker(std::filesystem::path folder);
  ~MqttBroker();
  // Starts the broker and waits until it accepts connections; false (with the reason) if not.
  bool Start(std::string& error);
  void Stop();
  int port() const { return port_; }
  std::string url() const { return "mqtt://127.0.0.1:" + std::to_string(port_); }

 private:
  std::filesystem::path folder_;
  int port_ = 0;
  int pid_ = -1;
};

// A client that remembers the last message of every topic it has seen (retained ones included).
class MqttProbe {
 public:
  struct Message {
    std::string payload;
    bool retained = false;
    int count = 0;  // messages of this topic seen
  };
  MqttProbe(int port, const std::string& subscription = "#");
  ~MqttProbe();
  bool connected() const;
  void Publish(const std::string& topic, const std::string& payload, bool retain = false);
  // Waits until `done` is true of the messages seen so far; returns whether it became true.
  bool WaitFor(const std::function<bool(const std::map<std::string, Message>&)>& done,
               std::chrono::milliseconds timeout = std::chrono::seconds(20));
  std::map<std::string, Message> Snapshot() const;
  // The last payload of `topic`, or "<none>".
  std::string Last(const std::string& topic) const;

 private:
  static void OnMessage(mosquitto*, void*, const mosquitto_message*);
  static void OnConnect(mosquitto*, void*, int);
  mosquitto* client_ = nullptr;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::map<std::string, Message> seen_;
  std::string subscription_;
  bool connected_ = false;
};

}  // namespace qb::test

#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace qb::test {

// A program started for a test, its standard output and error read through one pipe.
class ChildProcess {
 public:
  explicit ChildProcess(const std::vector<std::string>& argv);
  ~ChildProcess();  // kills the program if it is still running
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Reads output until a line contains `text`; returns that line, or empty after `timeout` or
  // when the program ends first.
  std::string WaitForLine(const std::string& text,
                          std::chrono::milliseconds timeout = std::chrono::seconds(20));
  // Sends a signal and waits for the exit status (-1 if it did not end within the timeout).
  int Stop(int signal, std::chrono::milliseconds timeout = std::chrono::seconds(20));
  // Sends a signal and goes on (a program that acts on it, such as the bus tool on SIGUSR1).
  void Signal(int signal);
  // Waits for the program to end on its own.
  int Wait(std::chrono::milliseconds timeout = std::chrono::seconds(20));
  // Everything read so far.
  const std::string& output() const { return output_; }
  int pid() const { return pid_; }

 private:
  bool ReadSome(std::chrono::milliseconds timeout);
  int pid_ = -1;
  int fd_ = -1;
  int status_ = -1;
  std::string output_;
  size_t scanned_ = 0;
};

// Waits for the program's "Web pages: " line and returns the address it names
// ("http://127.0.0.1:PORT/"); empty when no such line came.
std::string WebPagesUrl(ChildProcess& program);

// Runs a program to its end and returns its exit status and output.
int RunToEnd(const std::vector<std::string>& argv, std::string& output);

}  // namespace qb::test

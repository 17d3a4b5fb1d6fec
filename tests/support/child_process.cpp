#include "support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <regex>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace qb::test {

ChildProcess::ChildProcess(const std::vector<std::string>& argv) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const int rc = posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  fd_ = fds[0];
  if (rc != 0) throw std::runtime_error("cannot start " + argv[0]);
}

ChildProcess::~ChildProcess() {
  if (status_ == -1 && pid_ > 0) Stop(SIGKILL);
  if (fd_ >= 0) close(fd_);
}

bool ChildProcess::ReadSome(std::chrono::milliseconds timeout) {
  pollfd p{fd_, POLLIN, 0};
  if (poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return false;
  char buf[4096];
  const ssize_t n = read(fd_, buf, sizeof buf);
  if (n <= 0) return false;
  output_.append(buf, static_cast<size_t>(n));
  return true;
}

std::string ChildProcess::WaitForLine(const std::string& text, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    for (size_t end; (end = output_.find('\n', scanned_)) != std::string::npos;) {
      std::string line = output_.substr(scanned_, end - scanned_);
      scanned_ = end + 1;
      if (line.find(text) != std::string::npos) return line;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !ReadSome(left)) return {};
  }
}

int ChildProcess::Wait(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (status_ == -1) {
    int status = 0;
    const pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      break;
    }
    if (std::chrono::steady_clock::now() > deadline) return -1;
    ReadSome(std::chrono::milliseconds(20));
  }
  while (ReadSome(std::chrono::milliseconds(0))) {
  }
  return status_;
}

void ChildProcess::Signal(int signal) {
  if (status_ == -1) kill(pid_, signal);
}

int ChildProcess::Stop(int signal, std::chrono::milliseconds timeout) {
  if (status_ != -1) return status_;
  kill(pid_, signal);
  const int status = Wait(timeout);
  if (status == -1) {
    kill(pid_, SIGKILL);
    Wait(std::chrono::seconds(5));
  }
  return status;
}

int RunToEnd(const std::vector<std::string>& argv, std::string& output) {
  ChildProcess child(argv);
  const int status = child.Wait(std::chrono::seconds(30));
  output = child.output();
  return status;
}

std::string WebPagesUrl(ChildProcess& program) {
  std::smatch m;
  const std::string line = program.WaitForLine("Web pages: ");
  return std::regex_search(line, m, std::regex("(http://127\\.0\\.0\\.1:\\d+/)")) ? m[1].str()
                                                                                  : std::string();
}

}  // namespace qb::test

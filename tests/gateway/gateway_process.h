// The velasms gateway as a separate process for the tests (VELASMS_BINARY):
// started with its standard error in a log file, killed or terminated.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "gateway_test_util.h"

extern char** environ;

namespace vela::gateway {

// The gateway process.
class GatewayProcess {
  using Clock = std::chrono::steady_clock;

 public:
  GatewayProcess(std::vector<std::string> args, std::string logPath)
      : args_(std::move(args)), log_(std::move(logPath)) {}
  ~GatewayProcess() {
    if (pid_ > 0) Kill();
  }

  // Starts it and waits for its "listening on" line; returns the port.
  int Start() {
    const size_t before = ReadFile(log_).size();
    Spawn();
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    std::regex listening("listening on [^:]+:([0-9]+),");
    while (Clock::now() < deadline) {
      const std::string log = ReadFile(log_).substr(before);
      std::smatch m;
      if (std::regex_search(log, m, listening)) return std::stoi(m[1]);
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        throw std::runtime_error("the gateway exited at start:\n" + log);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    throw std::runtime_error("the gateway did not start listening:\n" + ReadFile(log_).substr(before));
  }
  // Starts it and waits until it exits by itself; its exit status, or -1
  // (and killed) when it is still running after `seconds`.
  int RunToExit(int seconds) {
    Spawn();
    const auto deadline = Clock::now() + std::chrono::seconds(seconds);
    while (Clock::now() < deadline) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    Kill();
    return -1;
  }
  void Spawn() {
    std::vector<char*> argv;
    std::string binary = VELASMS_BINARY;
    argv.push_back(binary.data());
    for (std::string& a : args_) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, log_.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    const int rc = posix_spawn(&pid_, binary.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error("cannot start " + binary);
  }
  pid_t Pid() const { return pid_; }
  // Arguments of the next Start.
  void SetArgs(std::vector<std::string> args) { args_ = std::move(args); }
  void Kill() {
    ::kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
  }
  // SIGTERM; returns the exit status and how long it took.
  int Terminate(std::chrono::milliseconds& took) {
    const auto start = Clock::now();
    ::kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

 private:
  std::vector<std::string> args_;
  std::string log_;
  pid_t pid_ = -1;
};

}  // namespace vela::gateway

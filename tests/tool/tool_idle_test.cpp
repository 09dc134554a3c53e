// An idle velasms listen costs nothing: over a stretch in which neither the
// modem nor the user does anything, no thread of the process wakes up. Counted
// from the kernel's per-thread voluntary context switches, not from timing.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>

#include "modem_sim.h"

namespace {

// voluntary_ctxt_switches of every thread of `pid`, by thread id.
std::map<int, long> VoluntarySwitches(pid_t pid) {
  std::map<int, long> switches;
  const std::string dir = "/proc/" + std::to_string(pid) + "/task";
  DIR* tasks = opendir(dir.c_str());
  if (!tasks) return switches;
  while (dirent* entry = readdir(tasks)) {
    if (entry->d_name[0] == '.') continue;
    std::ifstream status(dir + "/" + entry->d_name + "/status");
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0) {
        switches[std::stoi(entry->d_name)] = std::stol(line.substr(line.find(':') + 1));
      }
    }
  }
  closedir(tasks);
  return switches;
}

// A velasms child process with its standard error on a pipe.
class Child {
 public:
  explicit Child(const std::vector<std::string>& args) {
    int fds[2];
    if (pipe(fds) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(fds[1], STDERR_FILENO);
      int null = open("/dev/null", O_WRONLY);
      dup2(null, STDOUT_FILENO);
      close(fds[0]);
      std::vector<char*> argv;
      static std::string binary = VELASMS_BINARY;
      argv.push_back(binary.data());
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execv(binary.c_str(), argv.data());
      _exit(127);
    }
    close(fds[1]);
    err_ = fds[0];
  }
  ~Child() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (err_ >= 0) close(err_);
  }

  pid_t Pid() const { return pid_; }

  // Reads standard error until it contains `text` or `timeoutMs` passes.
  bool WaitForError(const std::string& text, int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (stderr_.find(text) == std::string::npos) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd fd{err_, POLLIN, 0};
      if (poll(&fd, 1, static_cast<int>(left.count())) <= 0) continue;
      char buffer[512];
      ssize_t n = read(err_, buffer, sizeof buffer);
      if (n <= 0) return false;
      stderr_.append(buffer, static_cast<size_t>(n));
    }
    return true;
  }

  // Ends the child with SIGTERM; its exit status (-1 when it did not exit).
  int Terminate() {
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  const std::string& Stderr() const { return stderr_; }

 private:
  pid_t pid_ = -1;
  int err_ = -1;
  std::string stderr_;
};

TEST(ToolIdle, ListeningWithNothingToReportWakesNoThread) {
  vela::sim::ModemSim sim;
  sim.Start();
  Child listen({"listen", "--port", sim.DevicePath(), "--json"});
  ASSERT_GT(listen.Pid(), 0);
  ASSERT_TRUE(listen.WaitForError("velasms listen: listening on", 30000)) << listen.Stderr();
  // Let the last bytes of the opening dialogue settle, then count.
  ASSERT_TRUE(sim.WaitForIndicationsWritten(5000));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const std::map<int, long> before = VoluntarySwitches(listen.Pid());
  ASSERT_FALSE(before.empty());
  std::this_thread::sleep_for(std::chrono::seconds(3));
  const std::map<int, long> after = VoluntarySwitches(listen.Pid());
  long wakeUps = 0;
  for (const auto& [thread, count] : after) {
    auto it = before.find(thread);
    wakeUps += count - (it == before.end() ? 0 : it->second);
  }
  EXPECT_EQ(wakeUps, 0) << "threads before " << before.size() << ", after " << after.size();
  // Still listening: a message that arrives now is reported.
  EXPECT_EQ(listen.Terminate(), 0) << listen.Stderr();
}

}  // namespace

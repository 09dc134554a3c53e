#include "gateway/hook_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <algorithm>

#include "gateway/records_json.h"

extern char** environ;

namespace vela::gateway {

int RunShellCommand(const std::string& command, const std::string& input, int timeoutMs, std::string& error,
                    const std::function<void(int pid)>& started) {
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
    error = std::string("pipe: ") + std::strerror(errno);
    return -1;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[0], 0);
  // The child starts with the default signal mask and handlers (the gateway
  // blocks SIGTERM and SIGINT in its threads to take them with sigwait).
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  const char* argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, "/bin/sh", &actions, &attr, const_cast<char**>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  ::close(pipeFds[0]);
  if (rc != 0) {
    ::close(pipeFds[1]);
    error = std::string("cannot start /bin/sh: ") + std::strerror(rc);
    return -1;
  }
  if (started) started(pid);
  // A hook that does not read its input must not block the gateway: the
  // write end is non-blocking, and a hook that closes its input early is no
  // error here (SIGPIPE is ignored by the gateway; the child has it back).
  ::fcntl(pipeFds[1], F_SETFL, O_NONBLOCK);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  auto msLeft = [&deadline] {
    return static_cast<int>(std::max<int64_t>(
        0, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count()));
  };
  size_t written = 0;
  while (written < input.size()) {
    const ssize_t n = ::write(pipeFds[1], input.data() + written, input.size() - written);
    if (n > 0) {
      written += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) break;
    pollfd p{pipeFds[1], POLLOUT, 0};
    if (msLeft() == 0 || ::poll(&p, 1, msLeft()) == 0) break;
  }
  ::close(pipeFds[1]);

  // Wait for the exit (a process descriptor becomes readable then), up to
  // the deadline; then the child is killed.
  int status = 0;
  const int pidFd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  for (;;) {
    if (::waitpid(pid, &status, WNOHANG) == pid) break;
    if (msLeft() == 0) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      if (pidFd >= 0) ::close(pidFd);
      error = "killed after " + std::to_string(timeoutMs / 1000) + " s";
      return 128 + SIGKILL;
    }
    if (pidFd >= 0) {
      pollfd p{pidFd, POLLIN, 0};
      ::poll(&p, 1, msLeft());
    } else {
      ::usleep(20000);  // kernels without process descriptors
    }
  }
  if (pidFd >= 0) ::close(pidFd);
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) {
    error = std::string("killed by signal ") + std::to_string(WTERMSIG(status));
    return 128 + WTERMSIG(status);
  }
  return -1;
}

HookRunner::HookRunner(std::string command, Store& store, Metrics& metrics, Log& log, RetrySettings retry)
    : command_(std::move(command)), store_(store), metrics_(metrics), log_(log), retry_(retry) {}

void HookRunner::Start() {
  worker_.Start([this] { return RunOnce(); });
}

void HookRunner::Stop() {
  worker_.Stop([this] {
    if (child_ > 0) ::kill(child_, SIGTERM);
  });
}

std::optional<WorkerThread::Clock::time_point> HookRunner::RunOnce() {
  try {
    auto job = store_.NextHookJob(NowMs());
    if (!job) {
      const std::optional<int64_t> next = store_.NextHookDue();
      if (!next) return std::nullopt;
      return WorkerThread::At(*next);
    }
    std::string error;
    const std::string input = DumpJson(ReceivedJson(*job)) + "\n";
    const int rc = RunShellCommand(command_, input, timeoutMs, error, [this](int pid) {
      std::lock_guard<std::mutex> guard(worker_.Mutex());
      child_ = pid;
      if (worker_.Stopping()) ::kill(pid, SIGTERM);
    });
    {
      std::lock_guard<std::mutex> guard(worker_.Mutex());
      child_ = -1;
    }
    if (rc == 0) {
      store_.MarkHook(job->id, true, 0);
    } else {
      metrics_.CountHookFailure();
      const int attempt = job->hookAttempts + 1;
      const int64_t delay = BackoffMs(attempt, retry_);
      store_.MarkHook(job->id, false, NowMs() + delay);
      log_.Line("receive hook for message " + std::to_string(job->id) + " failed (" +
                (rc < 0 ? error : "exit status " + std::to_string(rc) + (error.empty() ? "" : ", " + error)) +
                "); attempt " + std::to_string(attempt) + ", next in " + std::to_string(delay / 1000) + " s");
    }
    return WorkerThread::Clock::now();  // the next job at once
  } catch (const std::exception& e) {
    log_.Line(std::string("receive hook: ") + e.what());
    return WorkerThread::At(NowMs() + 1000);
  }
}

}  // namespace vela::gateway

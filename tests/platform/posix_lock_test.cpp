// The machine lock across processes: held by a child, refused to the parent;
// released by the kernel when the child dies holding it.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/sync.h"

namespace vela::platform {
namespace {

// Forks a child that takes the lock, reports through a pipe, and then waits
// for a byte on a second pipe (or dies when `die_holding`).
struct LockChild {
  pid_t pid = -1;
  int report = -1;
  int command = -1;

  LockChild(const char* name, bool die_holding) {
    int up[2], down[2];
    if (::pipe(up) != 0 || ::pipe(down) != 0) return;
    pid = ::fork();
    if (pid == 0) {
      ::close(up[0]);
      ::close(down[1]);
      MachineLock lock(name);
      const char ok = lock.TryAcquire(5000) ? 'y' : 'n';
      (void)!::write(up[1], &ok, 1);
      if (die_holding) ::_exit(0);  // no Release, no destructor
      char c;
      (void)!::read(down[0], &c, 1);
      lock.Release();
      ::_exit(0);
    }
    ::close(up[1]);
    ::close(down[0]);
    report = up[0];
    command = down[1];
  }
  bool Acquired() {
    char c = 0;
    return ::read(report, &c, 1) == 1 && c == 'y';
  }
  void Finish() {
    const char c = 'x';
    (void)!::write(command, &c, 1);
  }
  ~LockChild() {
    if (command >= 0) ::close(command);
    if (report >= 0) ::close(report);
    if (pid > 0) ::waitpid(pid, nullptr, 0);
  }
};

TEST(PosixMachineLock, ExcludesOtherProcessAndIsReleasedByIt) {
  LockChild child("VelaTestLockFork", false);
  ASSERT_GT(child.pid, 0);
  ASSERT_TRUE(child.Acquired());
  MachineLock mine("VelaTestLockFork");
  EXPECT_FALSE(mine.TryAcquire(50));
  child.Finish();
  EXPECT_TRUE(mine.TryAcquire(5000));
  mine.Release();
}

TEST(PosixMachineLock, ReleasedWhenHolderDies) {
  LockChild child("VelaTestLockDeath", true);
  ASSERT_GT(child.pid, 0);
  ASSERT_TRUE(child.Acquired());
  ::waitpid(child.pid, nullptr, 0);
  child.pid = -1;
  MachineLock mine("VelaTestLockDeath");
  EXPECT_TRUE(mine.TryAcquire(1000));
  mine.Release();
}

TEST(PosixMachineLock, LockFileIsWorldWritable) {
  MachineLock lock("VelaTestLockMode");
  ASSERT_TRUE(lock.TryAcquire(100));
  struct stat st {};
  ASSERT_EQ(::stat("/tmp/vela-VelaTestLockMode.lock", &st), 0);
  EXPECT_EQ(st.st_mode & 0666, 0666);
  lock.Release();
}

}  // namespace
}  // namespace vela::platform

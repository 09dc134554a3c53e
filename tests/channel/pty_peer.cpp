#include "pty_peer.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace vela::test {

PtyPeer::PtyPeer() {
  master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
    throw std::runtime_error(std::string("pty: ") + std::strerror(errno));
  }
  // No translation on the master side either: the test sees the exact bytes.
  termios tio{};
  if (::tcgetattr(master_, &tio) == 0) {
    ::cfmakeraw(&tio);
    ::tcsetattr(master_, TCSANOW, &tio);
  }
  slave_path_ = ::ptsname(master_);
}

PtyPeer::~PtyPeer() {
  Stop();
  if (master_ >= 0) ::close(master_);
}

void PtyPeer::Stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

void PtyPeer::CloseMaster() {
  if (std::this_thread::get_id() == reader_id_.load()) {
    close_after_script_ = true;
    return;
  }
  Stop();
  if (master_ >= 0) ::close(master_);
  master_ = -1;
}

void PtyPeer::Start(Script script) {
  stop_ = false;
  script_ = std::move(script);
  thread_ = std::thread([this] { Run(); });
}

void PtyPeer::Write(const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
      return;
    }
  }
}

void PtyPeer::Dribble(const std::string& bytes, int gap_ms) {
  for (char byte : bytes) {
    Write(std::string(1, byte));
    std::this_thread::sleep_for(std::chrono::milliseconds(gap_ms));
  }
}

std::string PtyPeer::Received() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

bool PtyPeer::WaitForReceived(const std::string& needle, int timeout_ms) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                           [&] { return received_.find(needle) != std::string::npos; });
}

PtyPeer::Clock::time_point PtyPeer::LineTime(const std::string& line) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& [text, when] : lines_) {
    if (text == line) return when;
  }
  return Clock::time_point();
}

void PtyPeer::Run() {
  reader_id_ = std::this_thread::get_id();
  std::string line;
  Clock::time_point line_start;
  while (!stop_) {
    pollfd pfd{master_, POLLIN, 0};
    const int ready = ::poll(&pfd, 1, 10);
    if (ready <= 0) continue;
    if (!(pfd.revents & POLLIN)) {
      // No slave open (yet, or any more): nothing to read.
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      continue;
    }
    char buffer[256];
    const ssize_t n = ::read(master_, buffer, sizeof buffer);
    if (n <= 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      continue;
    }
    const Clock::time_point now = Clock::now();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      received_.append(buffer, static_cast<size_t>(n));
    }
    changed_.notify_all();
    for (ssize_t i = 0; i < n; ++i) {
      if (buffer[i] != '\r') {
        if (line.empty()) line_start = now;
        line += buffer[i];
        continue;
      }
      if (line.empty()) continue;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.emplace_back(line, line_start);
      }
      if (script_) script_(*this, line);
      line.clear();
      if (close_after_script_) {
        ::close(master_);
        master_ = -1;
        return;
      }
    }
  }
}

}  // namespace vela::test

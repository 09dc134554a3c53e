// A client of the simulated modem speaking plain POSIX I/O on the pty slave.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>

namespace vela::sim::testing {

class PtyClient {
 public:
  explicit PtyClient(const std::string& path) { Open(path); }
  ~PtyClient() { Close(); }
  PtyClient(const PtyClient&) = delete;
  PtyClient& operator=(const PtyClient&) = delete;

  void Open(const std::string& path) {
    fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd_ >= 0) {
      termios t{};
      tcgetattr(fd_, &t);
      cfmakeraw(&t);
      tcsetattr(fd_, TCSANOW, &t);
      tcflush(fd_, TCIOFLUSH);
    }
    buffer_.clear();
  }
  void Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }
  bool IsOpen() const { return fd_ >= 0; }
  int Fd() const { return fd_; }

  void Send(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = write(fd_, bytes.data() + done, bytes.size() - done);
      if (n > 0)
        done += static_cast<size_t>(n);
      else
        Pump(10);
    }
  }

  // Reads until `needle` has arrived; returns everything up to and including
  // it (the rest stays for the next read), or all that came when it did not.
  std::string ReadUntil(const std::string& needle, int timeoutMs = 3000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      size_t at = buffer_.find(needle);
      if (at != std::string::npos) {
        std::string out = buffer_.substr(0, at + needle.size());
        buffer_.erase(0, at + needle.size());
        return out;
      }
      auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
      if (left <= 0) break;
      Pump(static_cast<int>(left));
    }
    std::string out;
    out.swap(buffer_);
    return out;
  }

  // Everything that arrives within the quiet period.
  std::string ReadFor(int ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
      auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
      if (left <= 0) break;
      Pump(static_cast<int>(left));
    }
    std::string out;
    out.swap(buffer_);
    return out;
  }

  // Reads up to and including the final result line of an answer: OK, ERROR,
  // +CME ERROR or +CMS ERROR.
  std::string ReadFinal(int timeoutMs = 3000) {
    std::string all;
    for (;;) {
      std::string part = ReadUntil("\r\n", timeoutMs);
      all += part;
      if (part.size() < 2 || part.compare(part.size() - 2, 2, "\r\n") != 0) return all;
      std::string body = all.substr(0, all.size() - 2);
      size_t nl = body.rfind('\n');
      std::string line = nl == std::string::npos ? body : body.substr(nl + 1);
      if (line == "OK" || line == "ERROR" || line.rfind("+CME ERROR:", 0) == 0 || line.rfind("+CMS ERROR:", 0) == 0)
        return all;
    }
  }

  // Sends a command as the product's channel does (with one more CR) and reads
  // the answer up to its final result.
  std::string Command(const std::string& command, const std::string& final = "OK\r\n") {
    Send(command + "\r\r");
    return ReadUntil(final);
  }

 private:
  void Pump(int timeoutMs) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) > 0 && (p.revents & POLLIN)) {
      char buf[4096];
      ssize_t n = read(fd_, buf, sizeof buf);
      if (n > 0) buffer_.append(buf, static_cast<size_t>(n));
    }
  }

  int fd_ = -1;
  std::string buffer_;
};

}  // namespace vela::sim::testing

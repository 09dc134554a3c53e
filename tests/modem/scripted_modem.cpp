#include "scripted_modem.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>

namespace vela::test {

ScriptedModem::ScriptedModem(Responder responder) : responder_(std::move(responder)) {
  master_ = posix_openpt(O_RDWR | O_NOCTTY);
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) throw std::runtime_error("pty");
  slavePath_ = ptsname(master_);
  termios tio{};
  tcgetattr(master_, &tio);
  cfmakeraw(&tio);
  tcsetattr(master_, TCSANOW, &tio);
  slave_ = open(slavePath_.c_str(), O_RDWR | O_NOCTTY);
  if (slave_ >= 0) {
    termios raw{};
    tcgetattr(slave_, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave_, TCSANOW, &raw);
  }
  thread_ = std::thread([this] { Serve(); });
}

ScriptedModem::~ScriptedModem() {
  stop_ = true;
  thread_.join();
  if (slave_ >= 0) close(slave_);
  close(master_);
}

void ScriptedModem::Write(const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return;
    }
    done += static_cast<size_t>(n);
  }
}

std::vector<std::string> ScriptedModem::Lines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

void ScriptedModem::Answer(ScriptedModem& modem, const std::string& echo, const std::vector<std::string>& info,
                           bool withEcho) {
  std::string out;
  if (withEcho) out += echo + "\r\n";
  for (const std::string& line : info) out += line + "\r\n";
  out += "\r\nOK\r\n";
  modem.Write(out);
}

void ScriptedModem::Serve() {
  std::string line;
  char buffer[256];
  while (!stop_) {
    pollfd pfd{master_, POLLIN, 0};
    if (poll(&pfd, 1, 20) <= 0) continue;
    ssize_t n = read(master_, buffer, sizeof buffer);
    if (n <= 0) continue;
    for (ssize_t i = 0; i < n; ++i) {
      char c = buffer[i];
      if (c == '\n') continue;
      if (c != '\r') {
        line += c;
        continue;
      }
      if (line.empty()) continue;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.push_back(line);
      }
      responder_(*this, line);
      line.clear();
    }
  }
}

}  // namespace vela::test

// A scripted modem on a pseudo-terminal, for the exchanges the simulator does
// not produce on demand (an indication written between a command's echo and
// its answer, answers without echo). The responder sees every command line
// (bytes up to "\r", empty lines skipped, a PDU line with its Ctrl-Z) and
// writes whatever it wants through Write(). POSIX only.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vela::test {

class ScriptedModem {
 public:
  using Responder = std::function<void(ScriptedModem& modem, const std::string& line)>;

  explicit ScriptedModem(Responder responder);
  ~ScriptedModem();
  ScriptedModem(const ScriptedModem&) = delete;
  ScriptedModem& operator=(const ScriptedModem&) = delete;

  std::string DevicePath() const { return slavePath_; }
  // Writes raw bytes to the client (any thread).
  void Write(const std::string& bytes);
  // Command lines received so far, in order.
  std::vector<std::string> Lines() const;

  // Answers like an echoing modem: the echo, each information line, "OK".
  static void Answer(ScriptedModem& modem, const std::string& echo, const std::vector<std::string>& info,
                     bool withEcho = true);

 private:
  void Serve();

  int master_ = -1;
  int slave_ = -1;  // held open so the client may close and reopen the device
  std::string slavePath_;
  Responder responder_;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
  std::thread thread_;
};

}  // namespace vela::test

// USSD through the gateway: calls from the HTTP threads, run one at a time
// on a modem's worker thread, which owns the driver and its USSD session.
// The worker goes on sending and receiving while an answer is out.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace vela {
class TVuZVela;
namespace ussd {
class Session;
}
}  // namespace vela

namespace vela::gateway {

struct UssdCall {
  bool reply = false;  // continue the session that waits for a reply
  std::string text;    // the code or the reply (printable ASCII, checked by the caller)
};

struct UssdOutcome {
  int httpStatus = 200;  // 200 answer; 409 no session waits; 502 refused; 503 modem down; 504 no answer
  int status = 0;        // <m> of the answer (200 only)
  std::string text;      // UTF-8 (200 only)
  std::string error;     // otherwise
};

class UssdDesk {
 public:
  static constexpr int64_t kAnswerTimeoutMs = 30000;  // the network's answer after the request
  static constexpr int64_t kReplyTimeoutMs = 60000;   // a session waiting for a reply is then ended

  UssdDesk();
  ~UssdDesk();
  UssdDesk(const UssdDesk&) = delete;
  UssdDesk& operator=(const UssdDesk&) = delete;

  // Before the first call.
  void SetAnswerTimeout(int64_t ms) { answerTimeoutMs_ = ms; }

  // Any thread: queues the call, `wake`s the worker and waits for the outcome.
  UssdOutcome Call(const UssdCall& call, const std::function<void()>& wake);

  // Worker thread, on every turn of its loop: takes answers, time-outs and
  // the next call. `modemName` names the modem in errors.
  void Run(TVuZVela& driver, const std::string& modemName);
  // Worker thread: how long until Run has a time-out to handle.
  std::optional<int64_t> MsUntilDeadline() const;
  // Worker thread, before the driver goes: ends a session, fails the calls.
  void Close();

 private:
  struct Pending;
  void Finish(const std::shared_ptr<Pending>& p, UssdOutcome outcome);

  std::mutex mutex_;
  std::condition_variable done_;
  std::deque<std::shared_ptr<Pending>> queue_;  // guarded by mutex_
  bool closed_ = false;                         // guarded by mutex_

  // Worker thread only.
  TVuZVela* driver_ = nullptr;
  std::unique_ptr<ussd::Session> session_;
  std::shared_ptr<Pending> active_;
  int64_t answerTimeoutMs_ = kAnswerTimeoutMs;
  int64_t answerDeadline_ = 0;
  int64_t replyDeadline_ = 0;
};

}  // namespace vela::gateway

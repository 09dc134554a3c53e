#include "gateway/ussd_desk.h"

#include <chrono>
#include <stdexcept>

#include "modem/ussd.h"
#include "modem/vuz_vela.h"
#include "common/utf8.h"

namespace vela::gateway {

namespace {

int64_t SteadyNowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

UssdOutcome Failed(int httpStatus, std::string error) {
  UssdOutcome o;
  o.httpStatus = httpStatus;
  o.error = std::move(error);
  return o;
}

}  // namespace

struct UssdDesk::Pending {
  UssdCall call;
  bool done = false;
  UssdOutcome outcome;
};

UssdDesk::UssdDesk() = default;
UssdDesk::~UssdDesk() = default;

UssdOutcome UssdDesk::Call(const UssdCall& call, const std::function<void()>& wake) {
  auto p = std::make_shared<Pending>();
  p->call = call;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return Failed(503, "the modem is stopping");
    queue_.push_back(p);
  }
  wake();
  std::unique_lock<std::mutex> lock(mutex_);
  // Calls run one after the other; each ends within its answer time-out.
  const auto limit = std::chrono::milliseconds(answerTimeoutMs_ * (static_cast<int64_t>(queue_.size()) + 1) + 15000);
  if (!done_.wait_for(lock, limit, [&] { return p->done; })) {
    return Failed(504, "the modem did not take the USSD request in time");
  }
  return p->outcome;
}

void UssdDesk::Finish(const std::shared_ptr<Pending>& p, UssdOutcome outcome) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    p->outcome = std::move(outcome);
    p->done = true;
  }
  done_.notify_all();
}

void UssdDesk::Run(TVuZVela& driver, const std::string& modemName) {
  if (driver_ != &driver) {
    session_.reset();
    driver_ = &driver;
    session_ = std::make_unique<ussd::Session>(driver);
  }
  const int64_t now = SteadyNowMs();
  if (active_) {
    if (std::optional<ussd::Answer> a = session_->TakeAnswer()) {
      if (ussd::IsAnswer(a->status)) {
        UssdOutcome o;
        o.status = a->status;
        o.text = Utf8FromWide(a->text);
        Finish(active_, std::move(o));
        replyDeadline_ = now + kReplyTimeoutMs;
      } else {
        const ussd::EUssd e = ussd::Session::Failure(*a);
        Finish(active_, Failed(e.kind() == ussd::EUssd::Kind::kTimeout ? 504 : 502, e.what()));
      }
      active_.reset();
    } else if (!driver.IsOpen()) {
      Finish(active_, Failed(503, "modem " + modemName + ": the port was lost while the answer was out"));
      active_.reset();
    } else if (now >= answerDeadline_) {
      session_->Cancel();
      Finish(active_,
             Failed(504, "no answer from the network within " + std::to_string((answerTimeoutMs_ + 999) / 1000) +
                             " s (modem " + modemName + ")"));
      active_.reset();
    } else {
      return;  // still waiting
    }
  }
  if (session_->AwaitingReply() && now >= replyDeadline_) session_->Cancel();

  while (!active_) {
    std::shared_ptr<Pending> next;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (queue_.empty()) return;
      next = queue_.front();
      queue_.pop_front();
    }
    if (!driver.IsOpen()) {
      Finish(next, Failed(503, "modem " + modemName + " is not up"));
      continue;
    }
    if (next->call.reply && !session_->AwaitingReply()) {
      Finish(next, Failed(409, "no USSD session waits for a reply on modem " + modemName));
      continue;
    }
    // A new code ends a session still waiting for a reply.
    if (!next->call.reply) session_->Cancel();
    active_ = next;  // failed by Close should the gateway stop during the send
    try {
      session_->Send(next->call.text);
      answerDeadline_ = SteadyNowMs() + answerTimeoutMs_;
    } catch (const std::invalid_argument& e) {
      Finish(next, Failed(400, e.what()));
      active_.reset();
    } catch (const ussd::EUssd& e) {
      Finish(next, Failed(502, std::string("modem ") + modemName + ": " + e.what()));
      active_.reset();
    }
  }
}

std::optional<int64_t> UssdDesk::MsUntilDeadline() const {
  const int64_t now = SteadyNowMs();
  if (active_) return std::max<int64_t>(0, answerDeadline_ - now);
  if (session_ && session_->AwaitingReply()) return std::max<int64_t>(0, replyDeadline_ - now);
  return std::nullopt;
}

void UssdDesk::Close() {
  if (session_) session_->Cancel();
  session_.reset();
  driver_ = nullptr;
  std::deque<std::shared_ptr<Pending>> left;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    left.swap(queue_);
  }
  if (active_) left.push_front(active_);
  active_.reset();
  for (const auto& p : left) Finish(p, Failed(503, "the modem is stopping"));
}

}  // namespace vela::gateway

#include "modem_session.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <csignal>

#include "common/utf8.h"
#include "platform/message_target.h"
#include "platform/termination.h"
#include "text.h"

namespace vela::tool {

namespace {

void OnTerminationSignal(int) { platform::RequestTermination(); }

const std::vector<OptionSpec> kModemOptions = {
    {"--port", true}, {"--baud", true}, {"--pin", true}, {"--lock", true}, {"--json", false}};

}  // namespace

void PollRetry(pollfd* fds, unsigned long count, int timeoutMs) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
  while (::poll(fds, count, timeoutMs) < 0 && errno == EINTR) {
    if (timeoutMs > 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      timeoutMs = static_cast<int>(std::max<int64_t>(left, 0));
    }
  }
}

std::vector<OptionSpec> WithModemOptions(std::vector<OptionSpec> specs) {
  specs.insert(specs.end(), kModemOptions.begin(), kModemOptions.end());
  return specs;
}

SignalScope::SignalScope() {
  previousInt_ = std::signal(SIGINT, OnTerminationSignal);
  previousTerm_ = std::signal(SIGTERM, OnTerminationSignal);
}

SignalScope::~SignalScope() {
  std::signal(SIGINT, previousInt_);
  std::signal(SIGTERM, previousTerm_);
}

void Configure(TVuZVela& driver, const ParsedArgs& a, std::ostream& err) {
  if (!a.Has("--port")) throw UsageError("missing --port PATH");
  driver.Port = BytesFromUtf8(a.Value("--port"));
  driver.BaudRate = static_cast<int32_t>(ParseInteger("--baud", a.Value("--baud", "9600"), 1, 4000000));
  driver.Pin = BytesFromUtf8(a.Value("--pin"));
  const std::string lock = a.Value("--lock", "machine");
  if (lock == "machine") {
    driver.Lock = TVuZVela::LockScope::kMachine;
  } else if (lock == "port") {
    driver.Lock = TVuZVela::LockScope::kPort;
  } else {
    throw UsageError("option '--lock' takes machine or port, not '" + lock + "'");
  }
  driver.OnStep = [&err](int step, const ByteString& description) {
    err << "velasms: opening the modem, step " << step << ": " << Utf8FromBytes(description) << std::endl;
  };
  driver.OnLockWait = [&err](bool waiting) {
    if (waiting) err << "velasms: waiting for another program's modem command" << std::endl;
  };
}

std::optional<Clock::time_point> DeadlineAfter(double seconds) {
  return Clock::now() + std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000));
}

bool WaitForEvents(TVuZVela& driver, const std::function<bool()>& done, std::optional<Clock::time_point> deadline) {
  // What is queued already counts before any wait.
  platform::DispatchPendingMessages();
  driver.RunDueTimers();
  while (!done()) {
    if (platform::TerminationRequested()) return false;
    int timeoutMs = -1;
    if (deadline) {
      const auto leftUs = std::chrono::duration_cast<std::chrono::microseconds>(*deadline - Clock::now()).count();
      if (leftUs <= 0) {
        platform::DispatchPendingMessages();  // what already arrived still counts
        return done();
      }
      // Rounded up: a wake before the deadline would only wait again.
      timeoutMs = static_cast<int>(std::min<int64_t>((leftUs + 999) / 1000, 0x7FFFFFFF));
    }
    if (std::optional<uint32_t> timer = driver.MsUntilNextTimer()) {
      const int timerMs = static_cast<int>(std::min<uint32_t>(*timer, 0x7FFFFFFF));
      timeoutMs = timeoutMs < 0 ? timerMs : std::min(timeoutMs, timerMs);
    }
    // A signal may land on any thread of the process; its handler makes the
    // termination descriptor readable, which wakes this poll wherever it ran.
    pollfd fds[2] = {{platform::MessageQueueFd(), POLLIN, 0}, {platform::TerminationFd(), POLLIN, 0}};
    PollRetry(fds, 2, timeoutMs);
    platform::DispatchPendingMessages();
    // Once done, the host may have cleared its callbacks: a message timed out
    // now would go nowhere.
    if (done()) break;
    driver.RunDueTimers();
  }
  return true;
}

std::string JoinedReferences(const std::vector<ByteString>& references) {
  std::string text;
  for (size_t i = 0; i < references.size(); ++i) text += (i ? ", " : "") + Utf8FromBytes(references[i]);
  return text;
}

std::string EventPrinter::MessageLine(const coding::AssembledMessage& message,
                                      const TVuZVela::IncomingContext& incoming) const {
  const std::string from = Utf8FromBytes(message.originator);
  const std::string text = Utf8FromWide(message.text);
  if (json_) {
    Json o = Json::object();
    o["event"] = "message";
    o["from"] = from;
    o["text"] = text;
    o["smsc_time"] = TimeJson(message.smscDateTime);
    o["parts"] = message.parts;
    o["complete"] = message.complete;
    if (incoming.stored) {
      o["stored"] = true;
      o["index"] = incoming.index;
    }
    return JsonLine(o);
  }
  std::string details = "service centre time " + TimeText(message.smscDateTime);
  if (message.parts > 1) details += ", " + std::to_string(message.parts) + " parts";
  if (!message.complete) details += ", incomplete";
  if (incoming.stored) details += ", stored at index " + std::to_string(incoming.index);
  return "Message from " + from + " (" + details + "):\n  " + IndentedText(text, "  ");
}

Json ReportJson(const ByteString& reference, bool delivered, DateTime scts, DateTime discharge) {
  Json o = Json::object();
  o["event"] = "report";
  o["reference"] = Utf8FromBytes(reference);
  o["delivered"] = delivered;
  o["smsc_time"] = TimeJson(scts);
  o["discharge_time"] = TimeJson(discharge);
  return o;
}

std::string EventPrinter::ReportLine(const ByteString& reference, bool delivered, DateTime scts, DateTime discharge,
                                     const TVuZVela::SentMessage* message,
                                     const TVuZVela::IncomingContext& incoming) const {
  std::optional<bool> messageDelivered;
  if (message) messageDelivered = message->Delivered();
  if (json_) {
    Json o = ReportJson(reference, delivered, scts, discharge);
    if (message) {
      Json references = Json::array();
      for (const ByteString& r : message->references) references.push_back(Utf8FromBytes(r));
      Json m = Json::object();
      m["references"] = std::move(references);
      m["delivered"] = messageDelivered ? Json(*messageDelivered) : Json();
      o["message"] = std::move(m);
    }
    if (incoming.stored) {
      o["stored"] = true;
      o["index"] = incoming.index;
    }
    return JsonLine(o);
  }
  std::string line = "Delivery report for reference " + Utf8FromBytes(reference) +
                     " (hex): " + (delivered ? "delivered" : "not delivered") + " (service centre time " +
                     TimeText(scts) + ", discharge time " + TimeText(discharge) + ")";
  if (message) {
    line += "; message of references " + JoinedReferences(message->references) + ": " +
            (!messageDelivered   ? "waiting for more reports"
             : *messageDelivered ? "delivered"
                                 : "not delivered");
  }
  return line;
}

}  // namespace vela::tool

// velasms ussd: a USSD code (*100#) and the replies to the network's menus.
#include <ostream>
#include <stdexcept>

#include "commands.h"
#include "modem/ussd.h"
#include "modem_session.h"
#include "common/utf8.h"
#include "text.h"

namespace vela::tool {

const char* const kUssdUsage =
    "Usage: velasms ussd --port PATH [--pin PIN] [--timeout SECONDS] [--json] CODE\n"
    "                    [--reply R ...]\n"
    "\n"
    "Sends the USSD code (AT+CUSD=1,\"CODE\",15) and prints the network's answer.\n"
    "While an answer asks for a reply (status 1), the next --reply is sent, in the\n"
    "order given, and its answer printed too. A session still waiting for a reply\n"
    "at the end is closed (AT+CUSD=2). The answer's text is decoded from GSM 7-bit\n"
    "packed hex, UCS2 hex or the modem's plain text.\n"
    "JSON: one object per answer, {\"status\": 0|1|2, \"text\": \"...\"}.\n"
    "Exit status 2 when the modem refuses the code, the network answers\n"
    "+CUSD: 3, 4 or 5, or no answer comes within the time-out.\n"
    "\n"
    "Options:\n"
    "  --reply R          reply to a menu (repeatable, used in turn)\n"
    "  --timeout SECONDS  wait at most this long for each answer (default 30)\n" VELASMS_MODEM_OPTIONS;

namespace {

void PrintAnswer(std::ostream& out, const ussd::Answer& answer, bool json) {
  const std::string text = Utf8FromWide(answer.text);
  if (json) {
    Json o;
    o["status"] = answer.status;
    o["text"] = text;
    out << JsonLine(o) << std::endl;
  } else {
    out << text << (answer.status == ussd::kReplyWanted ? "\n(reply wanted)" : "") << std::endl;
  }
}

int RunUssd(const ParsedArgs& a, std::ostream& out, std::ostream& err) {
  std::vector<std::string> replies;  // in turn, as given
  for (const auto& [name, value] : a.Given()) {
    if (name == "--reply") replies.push_back(value);
  }
  if (a.Positionals().size() != 1) throw UsageError("give one USSD code, e.g. *100#");
  const double timeout = ParseSeconds("--timeout", a.Value("--timeout", "30"));
  const bool json = a.Has("--json");
  std::vector<ByteString> requests{BytesFromUtf8(a.Positionals()[0])};
  for (const std::string& r : replies) requests.push_back(BytesFromUtf8(r));
  for (const ByteString& r : requests) {
    try {
      ussd::RequestCommand(r);
    } catch (const std::invalid_argument& e) {
      throw UsageError(e.what());
    }
  }

  SignalScope signals;
  TVuZVela driver;
  Configure(driver, a, err);
  driver.Open();
  ussd::Session session(driver);
  struct EndSession {  // also when the wait ends by a signal or a lost port
    ussd::Session& session;
    ~EndSession() { session.Cancel(); }
  } endSession{session};
  int status = 0;
  size_t next = 0;
  try {
    while (next < requests.size()) {
      session.Send(requests[next++]);
      if (!WaitForEvents(
              driver, [&session] { return !session.Pending(); }, DeadlineAfter(timeout))) {
        if (session.Pending()) {
          throw ussd::EUssd(ussd::EUssd::Kind::kTimeout,
                            "no answer from the network within " + a.Value("--timeout", "30") + " s");
        }
        throw EAbort();
      }
      const std::optional<ussd::Answer> answer = session.TakeAnswer();
      if (!answer) break;
      if (!ussd::IsAnswer(answer->status)) throw ussd::Session::Failure(*answer);
      PrintAnswer(out, *answer, json);
      if (answer->status != ussd::kReplyWanted) break;
    }
    if (next < requests.size()) err << "velasms ussd: the session ended; replies left unsent" << std::endl;
  } catch (const ussd::EUssd& e) {
    err << "velasms ussd: " << e.what() << std::endl;
    status = 2;
  }
  session.Cancel();
  driver.Close();
  return status;
}

}  // namespace

Command UssdCommand() {
  return {"ussd", kUssdUsage, WithModemOptions({{"--timeout", true}, {"--reply", true}}), RunUssd};
}

}  // namespace vela::tool

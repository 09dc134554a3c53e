// velasms join: concatenated SMS put back together offline, from the PDUs the
// modem printed for their parts, with the same reassembly the driver uses.
#include <algorithm>
#include <ostream>

#include "args.h"
#include "coding/reassembly.h"
#include "coding/text_coding.h"
#include "commands.h"
#include "json.h"
#include "common/utf8.h"
#include "text.h"
#include "at/line_framing.h"

namespace vela::tool {

const char* const kJoinUsage =
    "Usage: velasms join [--json] PDU...\n"
    "\n"
    "Reassembles the messages whose parts are given as SMS-DELIVER PDUs (hex, as the\n"
    "modem prints them after +CMT: or in +CMGL/+CMGR answers; SMS-SUBMIT PDUs such\n"
    "as 'velasms encode --split' prints are read too, by their destination). Parts\n"
    "may come in any order and mixed with other messages; duplicates count once.\n"
    "Prints one message per line, in the order of their first PDU; a message that\n"
    "lacks parts is printed with what there is, a marker where each missing part\n"
    "belongs, and flagged incomplete. With --json:\n"
    "  {\"from\": ..., \"text\": ..., \"parts\": N, \"complete\": true|false, \"missing\": [2]}\n"
    "\n"
    "Options:\n"
    "  --json        JSON output, one object per line\n"
    "  -h, --help    show this help\n"
    "\n"
    "Exit status: 0 every PDU was read, 2 some could not be (named on stderr; the\n"
    "others are still joined).\n";

namespace {

struct Joined {
  coding::AssembledMessage message;
  uint64_t first = 0;  // position of its first PDU among the arguments
};

void Collect(std::vector<coding::AssembledMessage> done, std::vector<Joined>& into) {
  for (auto& message : done) {
    uint64_t first = message.tags.empty() ? 0 : *std::min_element(message.tags.begin(), message.tags.end());
    into.push_back({std::move(message), first});
  }
}

std::string MissingText(const std::vector<int>& missing) {
  std::string text;
  for (size_t i = 0; i < missing.size(); ++i) text += (i ? ", " : "") + std::to_string(missing[i]);
  return text;
}

int RunJoin(const ParsedArgs& a, std::ostream& out, std::ostream& err) {
  if (a.Positionals().empty()) throw UsageError("missing PDU");

  // Offline there is no waiting for late parts: whatever is missing at the end
  // stays missing. The bounds are lifted so that no message is forced out early.
  coding::ReassemblyOptions options;
  options.maxPending = a.Positionals().size() + 1;
  options.maxPendingBytes = SIZE_MAX;
  coding::Reassembler reassembler(options);
  std::vector<Joined> joined;
  int status = 0;
  uint64_t position = 0;
  for (const std::string& arg : a.Positionals()) {
    ++position;
    const coding::DecodedUserData pdu = coding::DecodePdu(TrimControl(BytesFromUtf8(arg)));
    if (pdu.kind != 0 && pdu.kind != 1) {
      err << "velasms join: PDU " << position << " is "
          << (pdu.kind == 2 ? "a status report" : "no SMS-DELIVER or SMS-SUBMIT PDU") << ", left out\n";
      status = 2;
      continue;
    }
    if (pdu.truncated) err << "velasms join: warning: PDU " << position << " is cut short or malformed\n";
    coding::ReceivedPart part;
    part.originator = pdu.originator;
    part.concatenation = pdu.header.concatenation;
    part.text = pdu.text;
    part.smscTime = pdu.smscTime;
    part.smscDateTime = pdu.smscDateTime;
    part.tag = position;
    Collect(reassembler.Add(std::move(part), 0), joined);
  }
  Collect(reassembler.Flush(), joined);
  std::stable_sort(joined.begin(), joined.end(), [](const Joined& x, const Joined& y) { return x.first < y.first; });

  const bool json = a.Has("--json");
  for (const Joined& j : joined) {
    const coding::AssembledMessage& m = j.message;
    const std::string from = Utf8FromBytes(m.originator);
    const std::string text = Utf8FromWide(m.text);
    if (json) {
      Json missing = Json::array();
      for (int part : m.missing) missing.push_back(part);
      Json o = Json::object();
      o["from"] = from;
      o["text"] = text;
      o["parts"] = m.parts;
      o["complete"] = m.complete;
      o["missing"] = std::move(missing);
      out << JsonLine(o) << "\n";
    } else {
      out << "Message from " << (from.empty() ? "-" : from) << " (" << m.parts << (m.parts == 1 ? " part" : " parts")
          << (m.complete ? ""
                         : ", incomplete: part" + std::string(m.missing.size() == 1 ? " " : "s ") +
                               MissingText(m.missing) + " missing")
          << "):\n  " << IndentedText(text, "  ") << "\n";
    }
  }
  return status;
}

}  // namespace

Command JoinCommand() { return {"join", kJoinUsage, {{"--json", false}}, RunJoin}; }

}  // namespace vela::tool

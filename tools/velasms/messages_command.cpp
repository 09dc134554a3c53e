// velasms messages: the messages stored in the modem (on the SIM or in the
// phone's memory), listed, read and deleted.
#include <cctype>
#include <ostream>

#include "args.h"
#include "commands.h"
#include "json.h"
#include "coding/text_coding.h"
#include "modem/vuz_vela.h"
#include "modem_session.h"
#include "common/utf8.h"
#include "text.h"

namespace vela::tool {

const char* const kMessagesUsage =
    "Usage: velasms messages --port PATH [--storage SM|ME|MT] [--json] list\n"
    "       velasms messages --port PATH [--storage SM|ME|MT] [--json] read INDEX\n"
    "       velasms messages --port PATH [--storage SM|ME|MT] [--json] delete INDEX\n"
    "       velasms messages --port PATH [--storage SM|ME|MT] [--json] delete-all\n"
    "\n"
    "Works on the messages the modem keeps in its storage, such as those that\n"
    "arrived while no program was listening. 'list' prints every stored message,\n"
    "'read' the one at INDEX, 'delete' deletes it, 'delete-all' every message of the\n"
    "storage. Each part of a long message is stored, and listed, on its own (use\n"
    "'velasms listen' to receive them joined). With --json, one line per message:\n"
    "  {\"index\": 3, \"status\": \"unread\"|\"read\"|\"unsent\"|\"sent\", \"from\": ...,\n"
    "   \"text\": ..., \"smsc_time\": ..., \"storage\": \"SM\"}\n"
    "(\"from\" is the destination for messages written to be sent). While this\n"
    "command runs, new messages are left stored for the next 'listen'.\n"
    "\n"
    "Options:\n"
    "  --storage NAME     SM (the SIM), ME (the modem's memory) or MT (both);\n"
    "                     default: the modem's current choice\n" VELASMS_MODEM_OPTIONS
    "\n"
    "Exit status: 0 done, 2 unusable arguments, no message at INDEX, or an error.\n";

namespace {

ByteString StorageFrom(const std::string& name) {
  std::string upper;
  for (char c : name) upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (upper == "SM" || upper == "ME" || upper == "MT" || upper == "SR") return upper;
  throw UsageError("option '--storage' takes SM, ME or MT, not '" + name + "'");
}

void PrintMessage(std::ostream& out, bool json, const TVuZVela::StoredMessage& stored) {
  struct {
    int index;
    ByteString storage;
    coding::DecodedUserData decoded;
  } m{stored.index, stored.storage, coding::DecodePdu(stored.pdu)};
  const std::string from = Utf8FromBytes(m.decoded.originator);
  const std::string text = Utf8FromWide(m.decoded.text);
  const char* status = TVuZVela::StoredStatusName(stored.status);
  if (json) {
    Json o = Json::object();
    o["index"] = m.index;
    o["status"] = status;
    o["from"] = from;
    o["text"] = text;
    o["smsc_time"] = m.decoded.smscTime.empty() ? Json() : Json(m.decoded.smscTime);
    o["storage"] = Utf8FromBytes(m.storage);
    out << JsonLine(o) << "\n";
    return;
  }
  std::string details = *status ? status : "status " + std::to_string(static_cast<int>(stored.status));
  if (!m.decoded.smscTime.empty()) details += ", service centre time " + m.decoded.smscTime;
  if (m.decoded.header.concatenation) {
    details += ", part " + std::to_string(m.decoded.header.concatenation->sequence) + " of " +
               std::to_string(m.decoded.header.concatenation->total);
  }
  if (m.decoded.kind == 2) details += ", status report";
  out << "Message " << m.index << " in " << Utf8FromBytes(m.storage) << " from " << (from.empty() ? "-" : from) << " ("
      << details << "):\n  " << IndentedText(text, "  ") << "\n";
}

int RunMessages(const ParsedArgs& a, std::ostream& out, std::ostream& err) {
  const std::vector<std::string>& words = a.Positionals();
  if (words.empty()) throw UsageError("missing the action: list, read INDEX, delete INDEX or delete-all");
  const std::string& action = words[0];
  const bool takesIndex = action == "read" || action == "delete";
  if (!takesIndex && action != "list" && action != "delete-all") {
    throw UsageError("unknown action '" + action + "' (list, read INDEX, delete INDEX or delete-all)");
  }
  if (takesIndex && words.size() < 2) throw UsageError("'" + action + "' needs the INDEX of a message");
  if (words.size() > (takesIndex ? 2u : 1u)) throw UsageError("unexpected argument '" + words.back() + "'");
  const int index = takesIndex ? static_cast<int>(ParseInteger("INDEX", words[1], 0, 65535)) : 0;
  const ByteString storage = a.Has("--storage") ? StorageFrom(a.Value("--storage")) : ByteString();
  const bool json = a.Has("--json");

  SignalScope signals;
  TVuZVela driver;
  Configure(driver, a, err);
  // Storage routing: what arrives meanwhile is stored and stays stored, since
  // nothing here reports it.
  driver.RoutingMode = TVuZVela::Routing::kStorage;
  driver.Open();
  int status = 0;
  if (action == "list") {
    for (const TVuZVela::StoredMessage& m : driver.ListStoredMessages(storage)) PrintMessage(out, json, m);
  } else if (action == "read") {
    if (std::optional<TVuZVela::StoredMessage> m = driver.ReadStoredMessage(index, storage)) {
      PrintMessage(out, json, *m);
    } else {
      err << "velasms messages: no message at index " << index
          << (storage.empty() ? std::string() : " in " + Utf8FromBytes(storage)) << std::endl;
      status = 2;
    }
  } else if (action == "delete") {
    driver.DeleteStoredMessage(index, storage);
    if (json) {
      out << JsonLine(Json{{"deleted", index}}) << "\n";
    } else {
      out << "Deleted message " << index << "\n";
    }
  } else {
    const int deleted = driver.DeleteAllStoredMessages(storage);
    if (json) {
      out << JsonLine(Json{{"deleted", deleted >= 0 ? Json(deleted) : Json()}}) << "\n";
    } else if (deleted >= 0) {
      out << "Deleted " << deleted << (deleted == 1 ? " message\n" : " messages\n");
    } else {
      out << "Deleted every message\n";
    }
  }
  out.flush();
  driver.Close();
  return status;
}

}  // namespace

Command MessagesCommand() { return {"messages", kMessagesUsage, WithModemOptions({{"--storage", true}}), RunMessages}; }

}  // namespace vela::tool

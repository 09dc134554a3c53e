// velasms encode: the SMS-SUBMIT PDU that sending a text would write to the modem.
#include <ostream>

#include "args.h"
#include "coding/sms.h"
#include "commands.h"
#include "platform/codepage.h"
#include "json.h"
#include "text.h"

namespace vela::tool {

const char* const kEncodeUsage =
    "Usage: velasms encode [--json] [--status-report] [--coding auto|7bit|8bit|ucs2] --to NUMBER TEXT\n"
    "\n"
    "Builds the SMS-SUBMIT PDU that 'velasms send' writes to the modem and prints it\n"
    "with the TPDU length that AT+CMGS announces. TEXT (UTF-8) is converted to the\n"
    "8-bit code page, characters it lacks becoming '?', and cut to 160 characters,\n"
    "exactly as for sending.\n"
    "\n"
    "Options:\n"
    "  --to NUMBER        destination number; a leading '+' marks it international\n"
    "  --status-report    request a status report (TP-SRR)\n"
    "  --coding CODING    7bit (default, what 'send' uses), 8bit, ucs2, or auto\n"
    "                     (the encoder's own choice)\n"
    "  --json             print {\"pdu\": \"...\", \"length\": N}\n"
    "  -h, --help         show this help\n";

namespace {

int32_t CodingSelectorFrom(const std::string& name) {
  if (name == "7bit") return TSMS::kCoding7Bit;
  if (name == "8bit") return TSMS::kCoding8Bit;
  if (name == "ucs2") return TSMS::kCodingUcs2;
  if (name == "auto") return TSMS::kCodingAuto;
  throw UsageError("option '--coding' takes auto, 7bit, 8bit or ucs2, not '" + name + "'");
}

}  // namespace

int RunEncode(const Args& args, std::ostream& out, std::ostream& err) {
  ParsedArgs a = ParseArgs(args, {{"--json", false}, {"--status-report", false}, {"--coding", true}, {"--to", true}});
  if (a.Has("--help")) {
    out << kEncodeUsage;
    return 0;
  }
  if (!a.Has("--to")) throw UsageError("missing --to NUMBER");
  if (a.Positionals().size() != 1) {
    throw UsageError(a.Positionals().empty() ? "missing TEXT"
                                             : "expected one TEXT argument (quote a text with blanks)");
  }
  const int32_t selector = CodingSelectorFrom(a.Value("--coding", "7bit"));

  bool lossy = false, cut = false;
  ByteString text = MessageTextFromUtf8(a.Positionals()[0], lossy, cut);
  if (lossy) err << "velasms encode: warning: characters missing from the code page are sent as '?'\n";
  if (cut) err << "velasms encode: warning: the text is cut to 160 characters\n";

  TSMS sms;
  sms.Destination = BytesFromUtf8(a.Value("--to"));
  sms.Text = platform::WideFromNarrow(text);
  sms.StatusReportRequest = a.Has("--status-report");
  sms.CodingSelector = selector;
  const ByteString pdu = sms.EncodeSubmitPDU();  // "Error encoding PDU" leaves with status 2

  if (a.Has("--json")) {
    Json result = Json::Object();
    result.Set("pdu", pdu).Set("length", sms.TpduLength);
    out << result.Dump() << "\n";
  } else {
    out << "PDU:    " << pdu << "\n"
        << "Length: " << sms.TpduLength << " (AT+CMGS=" << sms.TpduLength << ")\n";
  }
  return 0;
}

}  // namespace vela::tool

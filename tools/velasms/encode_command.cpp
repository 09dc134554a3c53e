// velasms encode: the SMS-SUBMIT PDU that sending a text would write to the modem.
#include <ostream>
#include <random>

#include "args.h"
#include "common/utf8.h"
#include "coding/sms.h"
#include "coding/text_coding.h"
#include "commands.h"
#include "platform/codepage.h"
#include "json.h"
#include "text.h"

namespace vela::tool {

const char* const kEncodeUsage =
    "Usage: velasms encode [--json] [--status-report] [--coding auto|7bit|8bit|ucs2] --to NUMBER TEXT\n"
    "       velasms encode --split [--coding auto|gsm7|ucs2|8bit] [--languages LIST] [--max-parts N]\n"
    "                      [--reference N] [--ref16] [--status-report] [--validity DURATION]\n"
    "                      --to NUMBER TEXT\n"
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
    "  -h, --help         show this help\n"
    "\n"
    "With --split the whole TEXT is encoded, in Unicode and in as many parts as it\n"
    "needs (what 'velasms send' sends), one JSON line per part:\n"
    "  {\"pdu\": \"...\", \"length\": N, \"part\": 1, \"parts\": 2}\n"
    "  --coding CODING    auto (default: the fewest parts), gsm7, ucs2 or 8bit\n"
    "  --languages LIST   national language tables allowed for gsm7, e.g. tr,es,pt\n"
    "                     (codes, names or ids), all, or none (default)\n"
    "  --max-parts N      refuse a text that needs more than N parts (default 10)\n"
    "  --reference N      concatenation reference (default: random), 0-255, or\n"
    "                     0-65535 with --ref16\n"
    "  --ref16            16-bit concatenation reference\n"
    "  --validity DURATION\n"
    "                     validity period: 5m, 90m, 12h, 3d, 2w (5 minutes to 63\n"
    "                     weeks, rounded up) or max (default: 63 weeks)\n";

namespace {

int32_t CodingSelectorFrom(const std::string& name) {
  if (name == "7bit") return TSMS::kCoding7Bit;
  if (name == "8bit") return TSMS::kCoding8Bit;
  if (name == "ucs2") return TSMS::kCodingUcs2;
  if (name == "auto") return TSMS::kCodingAuto;
  throw UsageError("option '--coding' takes auto, 7bit, 8bit or ucs2, not '" + name + "'");
}

// The whole text as the parts of one message (the sending path of 'send').
int RunEncodeSplit(const ParsedArgs& a, std::ostream& out) {
  coding::SubmitOptions options;
  options.coding = ParseCodingOption(a.Value("--coding", "auto"));
  options.languages = ParseLanguagesOption(a.Value("--languages"));
  options.maxParts = static_cast<int>(ParseInteger("--max-parts", a.Value("--max-parts", "10"), 1, 255));
  options.ref16 = a.Has("--ref16");
  if (a.Has("--reference")) {
    options.reference =
        static_cast<uint16_t>(ParseInteger("--reference", a.Value("--reference"), 0, options.ref16 ? 65535 : 255));
  } else {
    // Two messages to one phone must not share a reference, or the phone
    // may join their parts.
    std::random_device random;
    options.reference = static_cast<uint16_t>(random() & (options.ref16 ? 0xFFFF : 0xFF));
  }
  options.statusReport = a.Has("--status-report");
  options.validity = ParseValidityOption(a.Value("--validity", "max"));
  options.destination = BytesFromUtf8(a.Value("--to"));
  const coding::SubmitMessage message = coding::EncodeSubmitMessage(WideFromUtf8(a.Positionals()[0]), options);
  for (const coding::SubmitPart& part : message.parts) {
    Json line = Json::object();
    line["pdu"] = part.pdu;
    line["length"] = part.length;
    line["part"] = part.part;
    line["parts"] = part.parts;
    out << JsonLine(line) << "\n";
  }
  return 0;
}

int RunEncode(const ParsedArgs& a, std::ostream& out, std::ostream& err) {
  if (!a.Has("--to")) throw UsageError("missing --to NUMBER");
  if (a.Positionals().size() != 1) {
    throw UsageError(a.Positionals().empty() ? "missing TEXT"
                                             : "expected one TEXT argument (quote a text with blanks)");
  }
  if (a.Has("--split")) return RunEncodeSplit(a, out);
  for (const char* option : {"--languages", "--max-parts", "--reference", "--ref16", "--validity"}) {
    if (a.Has(option)) throw UsageError(std::string("option '") + option + "' needs --split");
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
    Json result = Json::object();
    result["pdu"] = pdu;
    result["length"] = sms.TpduLength;
    out << JsonLine(result) << "\n";
  } else {
    out << "PDU:    " << pdu << "\n"
        << "Length: " << sms.TpduLength << " (AT+CMGS=" << sms.TpduLength << ")\n";
  }
  return 0;
}

}  // namespace

Command EncodeCommand() {
  return {"encode",
          kEncodeUsage,
          {{"--json", false},
           {"--status-report", false},
           {"--coding", true},
           {"--to", true},
           {"--split", false},
           {"--languages", true},
           {"--max-parts", true},
           {"--reference", true},
           {"--ref16", false},
           {"--validity", true}},
          RunEncode};
}

}  // namespace vela::tool

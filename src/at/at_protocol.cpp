#include "at/at_protocol.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <iterator>

#include "at/line_framing.h"

namespace vela::at {
namespace {

bool IsBlank(char c) { return static_cast<unsigned char>(c) <= 0x20; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool StartsWith(const ByteString& text, size_t at, const char* prefix) {
  size_t n = std::strlen(prefix);
  return text.size() - at >= n && text.compare(at, n, prefix) == 0;
}

size_t SkipBlanks(const ByteString& text) {
  size_t i = 0;
  while (i < text.size() && IsBlank(text[i])) ++i;
  return i;
}

// The non-blank lines of a response.
std::vector<ByteString> Lines(const ByteString& response) {
  std::vector<ByteString> lines;
  size_t start = 0;
  for (size_t i = 0; i <= response.size(); ++i) {
    if (i == response.size() || response[i] == '\r' || response[i] == '\n') {
      ByteString line = TrimControl(response.substr(start, i - start));
      if (!line.empty()) lines.push_back(std::move(line));
      start = i + 1;
    }
  }
  return lines;
}

// Indication prefixes, each with the kind it announces. "RING" is a whole
// line; the others are followed by parameters.
struct Prefix {
  const char* text;
  IndicationKind kind;
};
constexpr Prefix kPrefixes[] = {
    {"+CMT:", IndicationKind::kCmt},    {"+CDS:", IndicationKind::kCds}, {"+CMTI:", IndicationKind::kCmti},
    {"+CDSI:", IndicationKind::kCdsi},  {"+CBM:", IndicationKind::kCbm}, {"+CBMI:", IndicationKind::kCbmi},
    {"+CRING:", IndicationKind::kRing}, {"RING", IndicationKind::kRing}, {"+CUSD:", IndicationKind::kCusd},
    {"+CREG:", IndicationKind::kCreg},
};

// "<mem>,<index>" of +CMTI, +CDSI and +CBMI.
void ReadStorageIndex(const ByteString& value, Indication& indication) {
  std::vector<ByteString> fields = SplitFields(value);
  if (!fields.empty()) indication.storage = Unquote(fields[0]);
  if (fields.size() >= 2) indication.index = ParseInt(fields[1]);
}

// "[<alpha>],<length>" of +CMT. The length follows the last comma, so an
// alpha containing commas or quotes does not shift it.
void ReadAlphaLength(const ByteString& value, Indication& indication) {
  size_t comma = value.rfind(',');
  if (comma == ByteString::npos) {
    indication.length = ParseInt(value);
    return;
  }
  indication.length = ParseInt(value.substr(comma + 1));
  ByteString alpha = TrimControl(value.substr(0, comma));
  if (alpha.size() >= 2 && alpha.front() == '"' && alpha.back() == '"') {
    indication.alpha = alpha.substr(1, alpha.size() - 2);
    indication.alpha_quoted = true;
  } else {
    indication.alpha = alpha;
  }
}

std::optional<int> ParseErrorNumber(const ByteString& text, const char* marker) {
  size_t at = text.find(marker);
  if (at == ByteString::npos) return std::nullopt;
  at += std::strlen(marker);
  size_t end = text.find_first_of("\r\n", at);
  return ParseInt(text.substr(at, end == ByteString::npos ? ByteString::npos : end - at));
}

std::optional<MessageStatus> ParseStatus(const ByteString& field) {
  if (std::optional<int> n = ParseInt(field)) {
    if (*n >= 0 && *n <= 3) return static_cast<MessageStatus>(*n);
    return std::nullopt;
  }
  ByteString name = Unquote(field);
  if (name == "REC UNREAD") return MessageStatus::kUnread;
  if (name == "REC READ") return MessageStatus::kRead;
  if (name == "STO UNSENT") return MessageStatus::kUnsent;
  if (name == "STO SENT") return MessageStatus::kSent;
  return std::nullopt;
}

// The value after "<prefix>:" when `line` begins with it.
std::optional<ByteString> LineValue(const ByteString& line, const ByteString& prefix) {
  if (line.size() <= prefix.size() || line.compare(0, prefix.size(), prefix) != 0 || line[prefix.size()] != ':') {
    return std::nullopt;
  }
  return TrimControl(line.substr(prefix.size() + 1));
}

// "<stat>,[<alpha>],<length>": the fields after the index of +CMGL, or the
// whole of +CMGR. The length is the last field, the alpha what lies between.
void ReadStatusAlphaLength(const std::vector<ByteString>& fields, size_t first, ByteString& alpha,
                           std::optional<int>& length) {
  if (fields.size() > first + 1) length = ParseInt(fields.back());
  if (fields.size() > first + 2) alpha = Unquote(fields[first + 1]);
}

std::optional<ByteString> DigitsLine(const ByteString& response, const char* const* prefixes, size_t min, size_t max,
                                     bool filler) {
  for (const ByteString& line : Lines(response)) {
    ByteString value = line;
    for (const char* const* p = prefixes; *p != nullptr; ++p) {
      if (std::optional<ByteString> v = LineValue(line, *p)) {
        value = Unquote(*v);
        break;
      }
    }
    if (filler && !value.empty() && (value.back() == 'F' || value.back() == 'f')) value.pop_back();
    bool digits = !value.empty();
    for (char c : value) digits = digits && IsDigit(c);
    if (digits && value.size() >= min && value.size() <= max) return value;
  }
  return std::nullopt;
}

}  // namespace

bool Indication::PduFollows() const {
  return kind == IndicationKind::kCmt || kind == IndicationKind::kCds || kind == IndicationKind::kCbm;
}

std::optional<Indication> RecogniseIndication(const ByteString& line) {
  ByteString text = TrimControl(line);
  for (const Prefix& prefix : kPrefixes) {
    if (!StartsWith(text, 0, prefix.text)) continue;
    Indication indication;
    indication.kind = prefix.kind;
    if (std::strcmp(prefix.text, "RING") == 0 && text.size() != 4) return std::nullopt;
    ByteString value = TrimControl(text.substr(std::strlen(prefix.text)));
    switch (prefix.kind) {
      case IndicationKind::kCmt:
        ReadAlphaLength(value, indication);
        break;
      case IndicationKind::kCds:
      case IndicationKind::kCbm: {
        // PDU mode has the length alone; take the first field all the same.
        std::vector<ByteString> fields = SplitFields(value);
        if (!fields.empty()) indication.length = ParseInt(fields[0]);
        break;
      }
      case IndicationKind::kCmti:
      case IndicationKind::kCdsi:
      case IndicationKind::kCbmi:
        ReadStorageIndex(value, indication);
        break;
      case IndicationKind::kCreg: {
        // The answer to AT+CREG? has <n> before <stat>, two numbers; the
        // unsolicited form has <stat> alone or followed by the quoted <lac>.
        std::vector<ByteString> fields = SplitFields(value);
        if (fields.size() >= 2 && !fields[1].empty() && fields[1][0] != '"') return std::nullopt;
        if (!fields.empty()) indication.stat = ParseInt(fields[0]);
        break;
      }
      case IndicationKind::kRing:
      case IndicationKind::kCusd:
        break;
    }
    return indication;
  }
  return std::nullopt;
}

std::optional<IndicationKind> RoutedHeaderNamed(const ByteString& line) {
  std::optional<IndicationKind> named;
  for (const Prefix& prefix : kPrefixes) {  // +CDS after +CMT: a line naming both announces a report
    if ((prefix.kind == IndicationKind::kCmt || prefix.kind == IndicationKind::kCds) &&
        line.find(prefix.text) != ByteString::npos) {
      named = prefix.kind;
    }
  }
  return named;
}

bool IsIndicationPrefix(const ByteString& partial) {
  size_t at = SkipBlanks(partial);
  size_t n = partial.size() - at;
  for (const Prefix& prefix : kPrefixes) {
    size_t len = std::strlen(prefix.text);
    size_t common = n < len ? n : len;
    if (partial.compare(at, common, prefix.text, common) != 0) continue;
    // "RING" is an indication only as a whole line.
    if (std::strcmp(prefix.text, "RING") == 0 && n > len) continue;
    return true;
  }
  return false;
}

bool InsideQuotedText(const ByteString& partial) {
  const size_t at = SkipBlanks(partial);
  if (partial.compare(at, 6, "+CUSD:") != 0) return false;
  size_t quotes = 0;
  for (size_t i = at; i < partial.size(); ++i) quotes += partial[i] == '"' ? 1 : 0;
  return quotes % 2 == 1;
}

std::optional<int> ParseCmsError(const ByteString& text) { return ParseErrorNumber(text, "+CMS ERROR:"); }

std::optional<int> ParseCmeError(const ByteString& text) { return ParseErrorNumber(text, "+CME ERROR:"); }

ByteString ModemError::Describe() const {
  switch (kind) {
    case Kind::kNone:
      return ByteString();
    case Kind::kCms:
    case Kind::kCme: {
      ByteString out = kind == Kind::kCms ? "+CMS ERROR: " : "+CME ERROR: ";
      if (!code) return out + text;
      out += std::to_string(*code);
      if (!text.empty()) out += ": " + text;
      return out;
    }
    case Kind::kPlain:
      return command.empty() ? ByteString("ERROR") : "ERROR from " + command;
    case Kind::kNoAnswer:
      return command.empty() ? ByteString("no answer") : "no answer to " + command;
  }
  return ByteString();
}

std::optional<ModemError> FindModemError(const ByteString& response) {
  for (const ByteString& line : Lines(response)) {
    for (ModemError::Kind kind : {ModemError::Kind::kCms, ModemError::Kind::kCme}) {
      const char* prefix = kind == ModemError::Kind::kCms ? "+CMS ERROR" : "+CME ERROR";
      std::optional<ByteString> value = LineValue(line, prefix);
      if (!value) continue;
      ModemError error;
      error.kind = kind;
      error.code = ParseInt(*value);
      if (error.code) {
        error.text = kind == ModemError::Kind::kCms ? CmsErrorText(*error.code) : CmeErrorText(*error.code);
      } else {
        error.text = *value;  // verbose result (AT+CMEE=2)
      }
      return error;
    }
    if (line == "ERROR") {
      ModemError error;
      error.kind = ModemError::Kind::kPlain;
      return error;
    }
  }
  return std::nullopt;
}

namespace {

// The first field of the answer that starts with `prefix`, as a number.
std::optional<int> FirstNumber(const ByteString& response, const ByteString& prefix) {
  std::optional<ByteString> value = AnswerValue(response, prefix);
  if (!value) return std::nullopt;
  std::vector<ByteString> fields = SplitFields(*value);
  return fields.empty() ? std::nullopt : ParseInt(fields[0]);
}

}  // namespace

std::optional<int> ParseCmgsReference(const ByteString& response) {
  std::optional<int> mr = FirstNumber(response, "+CMGS");
  if (!mr || *mr > 255) return std::nullopt;
  return mr;
}

std::optional<int> ParseCsqDbm(const ByteString& response) {
  std::optional<int> rssi = FirstNumber(response, "+CSQ");
  if (!rssi || *rssi > 31) return std::nullopt;
  return -113 + 2 * *rssi;
}

std::optional<ByteString> ParseRegistration(const ByteString& response) {
  for (const char* prefix : {"+CREG", "+CGREG", "+CEREG", "+C5GREG"}) {
    std::optional<ByteString> value = AnswerValue(response, prefix);
    if (!value) continue;
    std::vector<ByteString> fields = SplitFields(*value);
    // Query form: <n>,<stat>,...; unsolicited form: <stat>[,"<lac>",...].
    std::optional<int> stat;
    if (fields.size() >= 2) stat = ParseInt(fields[1]);
    if (!stat && !fields.empty()) stat = ParseInt(fields[0]);
    if (!stat) return std::nullopt;
    switch (*stat) {
      case 0:
        return ByteString("not registered");
      case 1:
      case 6:
      case 9:
        return ByteString("home");  // 6, 9: SMS only / CSFB not preferred
      case 2:
        return ByteString("searching");
      case 3:
        return ByteString("denied");
      case 5:
      case 7:
      case 10:
        return ByteString("roaming");
      case 8:
      case 11:
        return ByteString("not registered");  // emergency services only
      default:
        return ByteString("unknown");
    }
  }
  return std::nullopt;
}

std::optional<ByteString> ParseCopsOperator(const ByteString& response) {
  std::optional<ByteString> value = AnswerValue(response, "+COPS");
  if (!value) return std::nullopt;
  std::vector<ByteString> fields = SplitFields(*value);
  if (fields.size() < 3) return std::nullopt;
  ByteString name = Unquote(fields[2]);
  if (name.empty()) return std::nullopt;
  return name;
}

std::optional<ByteString> ParseCscaNumber(const ByteString& response) {
  std::optional<ByteString> value = AnswerValue(response, "+CSCA");
  if (!value) return std::nullopt;
  std::vector<ByteString> fields = SplitFields(*value);
  if (fields.empty()) return std::nullopt;
  ByteString number = Unquote(fields[0]);
  if (number.empty()) return std::nullopt;
  if (fields.size() >= 2 && ParseInt(fields[1]) == 145 && number[0] != '+') number = "+" + number;
  return number;
}

std::optional<Storage> ParseCpms(const ByteString& response) {
  std::optional<ByteString> value = AnswerValue(response, "+CPMS");
  if (!value) return std::nullopt;
  std::vector<ByteString> fields = SplitFields(*value);
  Storage storage;
  size_t first = 0;
  if (!fields.empty() && !ParseInt(fields[0])) {
    storage.name = Unquote(fields[0]);
    first = 1;
  }
  if (fields.size() < first + 2) return std::nullopt;
  std::optional<int> used = ParseInt(fields[first]);
  std::optional<int> total = ParseInt(fields[first + 1]);
  if (!used || !total) return std::nullopt;
  storage.used = *used;
  storage.total = *total;
  return storage;
}

const char* MessageStatusText(MessageStatus status) {
  static const char* const kTexts[] = {"unread", "read", "unsent", "sent"};  // by <stat> value
  const auto stat = static_cast<size_t>(status);
  return stat < std::size(kTexts) ? kTexts[stat] : kTexts[0];
}

std::vector<StoredMessage> ParseCmgl(const ByteString& response) {
  std::vector<StoredMessage> messages;
  std::vector<ByteString> lines = Lines(response);
  for (size_t i = 0; i < lines.size(); ++i) {
    std::optional<ByteString> value = LineValue(lines[i], "+CMGL");
    if (!value) continue;
    std::vector<ByteString> fields = SplitFields(*value);
    if (fields.size() < 2) continue;
    std::optional<int> index = ParseInt(fields[0]);
    std::optional<MessageStatus> status = ParseStatus(fields[1]);
    if (!index || !status) continue;
    StoredMessage message;
    message.index = *index;
    message.status = *status;
    ReadStatusAlphaLength(fields, 1, message.alpha, message.length);
    if (i + 1 < lines.size() && IsPduLine(lines[i + 1])) message.pdu = lines[++i];
    messages.push_back(std::move(message));
  }
  return messages;
}

std::optional<StoredMessage> ParseCmgr(const ByteString& response) {
  std::vector<ByteString> lines = Lines(response);
  for (size_t i = 0; i < lines.size(); ++i) {
    std::optional<ByteString> value = LineValue(lines[i], "+CMGR");
    if (!value) continue;
    std::vector<ByteString> fields = SplitFields(*value);
    std::optional<MessageStatus> status = fields.empty() ? std::nullopt : ParseStatus(fields[0]);
    if (!status || i + 1 >= lines.size() || !IsPduLine(lines[i + 1])) return std::nullopt;
    StoredMessage message;
    message.status = *status;
    ReadStatusAlphaLength(fields, 0, message.alpha, message.length);
    message.pdu = lines[i + 1];
    return message;
  }
  return std::nullopt;
}

namespace {

// The counts at fields[from...] into `counts`, in order, when all are there.
void TakeCounts(const std::vector<ByteString>& fields, size_t from, std::initializer_list<std::optional<int>*> counts) {
  if (fields.size() < from + counts.size()) return;
  for (std::optional<int>* count : counts) *count = ParseInt(fields[from++]);
}

}  // namespace

std::optional<PinAttempts> ParsePinAttempts(const ByteString& response) {
  PinAttempts attempts;
  for (const ByteString& line : Lines(response)) {
    if (std::optional<ByteString> v = LineValue(line, "+CPINR")) {
      std::vector<ByteString> f = SplitFields(*v);
      if (f.size() < 2) continue;
      ByteString code = Unquote(f[0]);
      std::optional<int> n = ParseInt(f[1]);
      if (code == "SIM PIN")
        attempts.pin = n;
      else if (code == "SIM PUK")
        attempts.puk = n;
      else if (code == "SIM PIN2")
        attempts.pin2 = n;
      else if (code == "SIM PUK2")
        attempts.puk2 = n;
    } else if (std::optional<ByteString> v = LineValue(line, "^CPIN")) {
      TakeCounts(SplitFields(*v), 2, {&attempts.puk, &attempts.pin, &attempts.puk2, &attempts.pin2});
    } else if (std::optional<ByteString> v = LineValue(line, "+QPINC")) {
      const std::vector<ByteString> f = SplitFields(*v);
      const ByteString which = f.empty() ? ByteString() : Unquote(f[0]);
      if (which == "SC") TakeCounts(f, 1, {&attempts.pin, &attempts.puk});
      if (which == "P2") TakeCounts(f, 1, {&attempts.pin2, &attempts.puk2});
    } else if (std::optional<ByteString> v = LineValue(line, "+SPIC")) {
      const std::vector<ByteString> f = SplitFields(*v);
      TakeCounts(f, 0, {&attempts.pin, &attempts.puk});
      TakeCounts(f, 2, {&attempts.pin2, &attempts.puk2});
    } else if (std::optional<ByteString> v = LineValue(line, "+UPINCNT")) {
      TakeCounts(SplitFields(*v), 0, {&attempts.pin, &attempts.pin2, &attempts.puk, &attempts.puk2});
    }
  }
  if (attempts.Empty()) return std::nullopt;
  return attempts;
}

std::optional<ByteString> ParseCpin(const ByteString& response) {
  std::optional<ByteString> value = AnswerValue(response, "+CPIN");
  if (!value || value->empty()) return std::nullopt;
  return Unquote(*value);
}

std::vector<std::vector<int>> ParseSupportedValues(const ByteString& response, const ByteString& prefix) {
  std::vector<std::vector<int>> parameters;
  std::optional<ByteString> value = AnswerValue(response, prefix);
  if (!value) return parameters;
  constexpr size_t kMaxValues = 256;
  // Parameters are separated by commas outside parentheses.
  std::vector<ByteString> groups;
  ByteString current;
  int depth = 0;
  for (char c : *value) {
    if (c == '(') ++depth;
    if (c == ')' && depth > 0) --depth;
    if (c == ',' && depth == 0) {
      groups.push_back(current);
      current.clear();
    } else {
      current += c;
    }
  }
  groups.push_back(current);
  for (const ByteString& group : groups) {
    std::vector<int> values;
    ByteString inner = TrimControl(group);
    if (!inner.empty() && inner.front() == '(') inner.erase(0, 1);
    if (!inner.empty() && inner.back() == ')') inner.pop_back();
    size_t start = 0;
    while (start <= inner.size()) {
      size_t comma = inner.find(',', start);
      ByteString item = inner.substr(start, comma == ByteString::npos ? ByteString::npos : comma - start);
      size_t dash = item.find('-');
      std::optional<int> low = ParseInt(dash == ByteString::npos ? item : item.substr(0, dash));
      std::optional<int> high = dash == ByteString::npos ? low : ParseInt(item.substr(dash + 1));
      if (low && high) {
        for (int v = *low; v <= *high && values.size() < kMaxValues; ++v) values.push_back(v);
      }
      if (comma == ByteString::npos) break;
      start = comma + 1;
    }
    parameters.push_back(std::move(values));
  }
  return parameters;
}

bool OffersMessageServiceOne(const ByteString& response) {
  // The lines joined with "|" so that ",1)" is never made of two lines.
  ByteString joined;
  size_t start = 0;
  while (start < response.size()) {
    size_t end = response.find("\r\n", start);
    if (end == ByteString::npos) end = response.size();
    joined += response.substr(start, end - start) + "|";
    start = end + 2;
  }
  if (joined.find(",1)") != ByteString::npos) return true;
  const std::vector<std::vector<int>> services = ParseSupportedValues(response, "+CSMS");
  return !services.empty() && std::find(services[0].begin(), services[0].end(), 1) != services[0].end();
}

std::optional<MessageService> ParseCsms(const ByteString& response) {
  std::optional<ByteString> value = AnswerValue(response, "+CSMS");
  if (!value) return std::nullopt;
  std::vector<ByteString> fields = SplitFields(*value);
  std::vector<std::optional<int>> numbers;
  for (const ByteString& field : fields) numbers.push_back(ParseInt(field));
  for (const std::optional<int>& n : numbers) {
    if (!n) return std::nullopt;
  }
  MessageService service;
  size_t first = 0;
  if (numbers.size() == 4) {
    service.service = numbers[0];
    first = 1;
  } else if (numbers.size() != 3) {
    return std::nullopt;
  }
  service.mt = *numbers[first] == 1;
  service.mo = *numbers[first + 1] == 1;
  service.bm = *numbers[first + 2] == 1;
  return service;
}

std::optional<ByteString> ParseImsi(const ByteString& response) {
  static const char* const kPrefixes[] = {"+CIMI", nullptr};
  return DigitsLine(response, kPrefixes, 5, 15, false);
}

std::optional<ByteString> ParseIccid(const ByteString& response) {
  static const char* const kPrefixes[] = {"+CCID", "+ICCID", "^ICCID", "+QCCID", "ICCID", nullptr};
  return DigitsLine(response, kPrefixes, 18, 22, true);
}

std::vector<ByteString> SplitFields(const ByteString& value) {
  std::vector<ByteString> fields;
  ByteString current;
  bool quoted = false;
  for (char c : value) {
    if (c == '"') quoted = !quoted;
    if (c == ',' && !quoted) {
      fields.push_back(TrimControl(current));
      current.clear();
    } else {
      current += c;
    }
  }
  fields.push_back(TrimControl(current));
  return fields;
}

ByteString Unquote(const ByteString& field) {
  ByteString text = TrimControl(field);
  if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
    return text.substr(1, text.size() - 2);
  }
  return text;
}

bool IsPduLine(const ByteString& line) {
  if (line.empty()) return false;
  for (char c : line) {
    const bool hex = IsDigit(c) || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
    if (!hex) return false;
  }
  return true;
}

std::optional<int> ParseInt(const ByteString& field) {
  ByteString text = TrimControl(field);
  if (text.empty() || text.size() > 9) return std::nullopt;
  int value = 0;
  for (char c : text) {
    if (!IsDigit(c)) return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

std::optional<ByteString> AnswerValue(const ByteString& response, const ByteString& prefix) {
  for (const ByteString& line : Lines(response)) {
    if (std::optional<ByteString> value = LineValue(line, prefix)) return value;
  }
  return std::nullopt;
}

}  // namespace vela::at

#include "modem/ussd.h"

#include <stdexcept>

#include "common/utf8.h"
#include "coding/text_coding.h"
#include "at/at_protocol.h"
#include "common/hex.h"
#include "common/text.h"
#include "modem/vuz_vela.h"
#include "platform/codepage.h"

namespace vela::ussd {

namespace {

constexpr uint32_t kRequestTimeoutMs = 10000;  // the OK of AT+CUSD=1 (the answer comes later)
constexpr uint32_t kCancelTimeoutMs = 5000;
constexpr size_t kMaxRequest = 160;

// The octets of an even-length, all-hex text; nullopt otherwise.
std::optional<std::string> HexOctets(const ByteString& hex) {
  if (hex.empty() || hex.size() % 2 != 0) return std::nullopt;
  bool complete = false;
  std::string octets = hex::ToOctets(hex, &complete);
  if (!complete) return std::nullopt;
  return octets;
}

// A modem whose character set is UCS2 prints ASCII text as 00xx units: the
// shape packed 7-bit text practically never has (every other octet zero).
bool LooksLikeAsciiUcs2(const ByteString& hex) {
  if (hex.empty() || hex.size() % 4 != 0) return false;
  for (size_t i = 0; i < hex.size(); i += 4) {
    if (hex[i] != '0' || hex[i + 1] != '0') return false;
  }
  return true;
}

WideString Latin1(const std::string& octets) {
  WideString text;
  for (char c : octets) text.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
  return text;
}

// <dcs> 0x10 (7-bit) and 0x11 (UCS2) put the language in front of the text:
// two characters and a <CR>, or one UCS2 character (TS 23.038 5).
WideString WithoutLanguage(WideString text, std::optional<int> dcs) {
  if (dcs == 0x10 && text.size() >= 3 && text[2] == u'\r') return text.substr(3);
  if (dcs == 0x11 && !text.empty()) return text.substr(1);
  return text;
}

// The final result "OK" as a line of its own (the echo may hold "OK" too).
bool HasOkLine(const ByteString& response) {
  size_t start = 0;
  while (start < response.size()) {
    size_t end = response.find('\n', start);
    if (end == ByteString::npos) end = response.size();
    if (TrimControl(response.substr(start, end - start)) == "OK") return true;
    start = end + 1;
  }
  return false;
}

}  // namespace

std::optional<Answer> ParseCusd(const ByteString& line) {
  ByteString text = TrimControl(line);
  static const char kPrefix[] = "+CUSD:";
  if (text.compare(0, sizeof kPrefix - 1, kPrefix) != 0) return std::nullopt;
  const ByteString value = TrimControl(text.substr(sizeof kPrefix - 1));
  const size_t comma = value.find(',');
  const std::optional<int> status = at::ParseInt(value.substr(0, comma));
  if (!status) return std::nullopt;
  Answer answer;
  answer.status = *status;
  if (comma == ByteString::npos) return answer;
  const ByteString rest = value.substr(comma + 1);
  const size_t open = rest.find('"');
  const size_t close = rest.rfind('"');
  ByteString dcsField;
  if (open != ByteString::npos && close > open) {
    answer.raw = rest.substr(open + 1, close - open - 1);
    answer.hasText = true;
    const size_t dcsComma = rest.find(',', close);
    if (dcsComma != ByteString::npos) dcsField = rest.substr(dcsComma + 1);
  } else {
    // An unquoted <str> (seen on some modems): up to the last comma.
    const size_t last = rest.rfind(',');
    answer.raw = TrimControl(rest.substr(0, last));
    answer.hasText = !answer.raw.empty();
    if (last != ByteString::npos) dcsField = rest.substr(last + 1);
  }
  if (!dcsField.empty()) answer.dcs = at::ParseInt(dcsField);
  if (answer.hasText) answer.text = DecodeText(answer.raw, answer.dcs);
  return answer;
}

const char* StatusText(int status) {
  switch (status) {
    case kNoFurtherAction:
      return "no further action required";
    case kReplyWanted:
      return "reply wanted";
    case kTerminatedByNetwork:
      return "terminated by the network";
    case kOtherClient:
      return "answered by another client";
    case kNotSupported:
      return "operation not supported";
    case kNetworkTimeout:
      return "network time-out";
    default:
      return "unknown status";
  }
}

Alphabet DcsAlphabet(int dcs) {
  const int group = (dcs >> 4) & 0x0F;
  switch (group) {
    case 0x0:  // language groups, 7-bit
    case 0x2:
    case 0x3:
      return Alphabet::kGsm7;
    case 0x1:
      return (dcs & 0x0F) == 0x01 ? Alphabet::kUcs2 : Alphabet::kGsm7;
    case 0x4:  // general data coding: bits 3..2 are the alphabet
    case 0x5:
    case 0x6:
    case 0x7:
    case 0x9: {
      const int alphabet = (dcs >> 2) & 0x03;
      return alphabet == 2 ? Alphabet::kUcs2 : alphabet == 1 ? Alphabet::kEightBit : Alphabet::kGsm7;
    }
    case 0xF:  // data coding / message handling: bit 2 is 8-bit data
      return (dcs & 0x04) ? Alphabet::kEightBit : Alphabet::kGsm7;
    default:  // reserved groups are read as the default alphabet (TS 23.038 5)
      return Alphabet::kGsm7;
  }
}

std::optional<WideString> DecodePackedHex(const ByteString& hex) {
  const std::optional<std::string> octets = HexOctets(hex);
  if (!octets) return std::nullopt;
  std::string septets;
  const size_t count = octets->size() * 8 / 7;
  septets.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    const size_t bit = i * 7;
    const size_t at = bit / 8;
    const unsigned shift = static_cast<unsigned>(bit % 8);
    unsigned value = static_cast<unsigned char>((*octets)[at]) >> shift;
    if (shift > 1 && at + 1 < octets->size()) value |= static_cast<unsigned char>((*octets)[at + 1]) << (8 - shift);
    septets.push_back(static_cast<char>(value & 0x7F));
  }
  // 7 spare bits at the end hold a <CR>, not '@' (TS 23.038 6.1.2.3.1).
  if (octets->size() % 7 == 0 && !septets.empty() && septets.back() == '\r') septets.pop_back();
  return coding::SeptetsToUnicode(septets, 0, 0);
}

std::optional<WideString> DecodeUcs2Hex(const ByteString& hex) {
  if (hex.size() % 4 != 0) return std::nullopt;
  const std::optional<std::string> octets = HexOctets(hex);
  if (!octets) return std::nullopt;
  WideString text;
  for (size_t i = 0; i + 1 < octets->size(); i += 2) {
    text.push_back(static_cast<char16_t>((static_cast<unsigned char>((*octets)[i]) << 8) |
                                         static_cast<unsigned char>((*octets)[i + 1])));
  }
  return text;
}

// Well-formed UTF-8 holding at least one multi-byte sequence: text from a
// modem whose character set is UTF-8 (a code-page text almost never is).
static bool IsUtf8Text(const ByteString& s) {
  bool multi = false;
  for (size_t i = 0; i < s.size();) {
    const size_t n = Utf8SequenceLength(s, i);
    if (n == 0) return false;
    multi = multi || n > 1;
    i += n;
  }
  return multi;
}

static WideString PlainText(const ByteString& str) {
  return IsUtf8Text(str) ? WideFromUtf8(str) : platform::WideFromNarrow(str);
}

WideString DecodeText(const ByteString& str, std::optional<int> dcs) {
  const WideString plain = PlainText(str);
  if (!dcs) return plain;
  switch (DcsAlphabet(*dcs)) {
    case Alphabet::kUcs2:
      if (auto t = DecodeUcs2Hex(str)) return WithoutLanguage(*t, dcs);
      return plain;
    case Alphabet::kEightBit:
      if (auto octets = HexOctets(str)) return Latin1(*octets);
      return plain;
    case Alphabet::kGsm7:
      if (LooksLikeAsciiUcs2(str)) return *DecodeUcs2Hex(str);
      if (auto t = DecodePackedHex(str)) return WithoutLanguage(*t, dcs);
      return WithoutLanguage(plain, dcs);
  }
  return plain;
}

ByteString RequestCommand(const ByteString& text) {
  if (text.empty()) throw std::invalid_argument("the USSD code is empty");
  if (text.size() > kMaxRequest) {
    throw std::invalid_argument("the USSD string is longer than " + std::to_string(kMaxRequest) + " characters");
  }
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u > 0x7E || c == '"') {
      throw std::invalid_argument("the USSD string '" + text +
                                  "' may hold printable ASCII characters only, without '\"'");
    }
  }
  return "AT+CUSD=1,\"" + text + "\",15\r";
}

EUssd Session::Failure(const Answer& answer) {
  ByteString message =
      "the network answered +CUSD: " + std::to_string(answer.status) + " (" + StatusText(answer.status) + ")";
  if (answer.hasText && !answer.text.empty()) message += ": " + platform::NarrowFromWide(answer.text);
  return EUssd(answer.status == kNetworkTimeout ? EUssd::Kind::kTimeout : EUssd::Kind::kNetwork, message);
}

Session::Session(TVuZVela& driver) : driver_(driver) {
  driver_.OnUssdLine = [this](const ByteString& line) { HandleLine(line); };
}

Session::~Session() { driver_.OnUssdLine = nullptr; }

void Session::Send(const ByteString& text) {
  const ByteString command = RequestCommand(text);
  // Pending before the write: some modems print the answer before the OK.
  pending_ = true;
  awaitingReply_ = false;
  answer_.reset();
  ByteString response;
  try {
    response = driver_.SendCommand(command, kRequestTimeoutMs);
  } catch (...) {
    pending_ = false;
    throw;
  }
  const std::optional<at::ModemError> error = at::FindModemError(response);
  if (error || !HasOkLine(response)) {
    pending_ = false;
    answer_.reset();
    const ByteString shown = command.substr(0, command.size() - 1);
    throw EUssd(EUssd::Kind::kRefused,
                "the modem refused " + shown + ": " + (error ? error->Describe() : ByteString("no answer")));
  }
}

std::optional<Answer> Session::TakeAnswer() {
  std::optional<Answer> answer = std::move(answer_);
  answer_.reset();
  return answer;
}

void Session::Cancel() {
  if (!pending_ && !awaitingReply_) return;
  pending_ = false;
  awaitingReply_ = false;
  try {
    if (driver_.IsOpen()) driver_.SendCommand(CancelCommand(), kCancelTimeoutMs);
  } catch (...) {
    // The session ends at the network's own time-out all the same.
  }
}

void Session::HandleLine(const ByteString& line) {
  std::optional<Answer> answer = ParseCusd(line);
  if (!answer || !pending_) return;
  pending_ = false;
  awaitingReply_ = answer->status == kReplyWanted;
  answer_ = *answer;
  if (OnAnswer) OnAnswer(*answer);
}

}  // namespace vela::ussd

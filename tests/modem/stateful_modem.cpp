#include "stateful_modem.h"

#include <algorithm>

#include "sim_pdu.h"

namespace vela::test {

namespace {

const sim::pdu::Timestamp kScts{2026, 12, 8, 17, 30, 5, 4};

bool StartsWith(const std::string& line, const std::string& prefix) {
  return line.compare(0, prefix.size(), prefix) == 0;
}

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

// The lines of raw modem output, blank ones dropped.
std::vector<ByteString> SplitOutput(const std::string& bytes) {
  std::vector<ByteString> lines;
  size_t start = 0;
  while (start <= bytes.size()) {
    size_t end = bytes.find("\r\n", start);
    if (end == std::string::npos) end = bytes.size();
    const std::string line = bytes.substr(start, end - start);
    if (!line.empty()) lines.push_back(line);
    start = end + 2;
  }
  return lines;
}

}  // namespace

StatefulModem::StatefulModem() : StatefulModem(ModemState{}) {}

StatefulModem::StatefulModem(const ModemState& initial) : state_(std::make_shared<Shared>()) {
  state_->state = initial;
  std::shared_ptr<Shared> shared = state_;
  modem_ = std::make_unique<MemoryModem>();
  modem_->Respond([shared](const ByteString& line) -> std::optional<std::vector<ByteString>> {
    std::string output;
    Respond(
        *shared, [&](const std::string& bytes) { output += bytes; }, line);
    std::vector<ByteString> lines = SplitOutput(output);
    if (!lines.empty() && lines.front() == line) lines.erase(lines.begin());  // the memory modem echoes
    return lines;
  });
}

void StatefulModem::Write(const std::string& bytes) { modem_->Indicate(SplitOutput(bytes)); }

size_t StatefulModem::Count(const std::string& line) const {
  const auto lines = Lines();
  return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}

std::vector<std::string> StatefulModem::LinesFrom(size_t from) const {
  const auto lines = Lines();
  if (from >= lines.size()) return {};
  return std::vector<std::string>(lines.begin() + static_cast<std::ptrdiff_t>(from), lines.end());
}

int StatefulModem::Store(const std::string& storage, const std::string& pdu, int status) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  auto& slots = state_->state.storage[storage];
  int index = 1;
  while (slots.count(index) != 0) ++index;
  slots[index] = ModemState::Stored{status, pdu};
  return index;
}

void StatefulModem::Respond(Shared& shared, const std::function<void(const std::string&)>& write,
                            const std::string& line) {
  std::unique_lock<std::mutex> lock(shared.mutex);
  ModemState& s = shared.state;
  const std::string echo = line + "\r\n";
  auto ok = [&](const std::vector<std::string>& info = {}) {
    std::string out = echo;
    for (const std::string& i : info) out += "\r\n" + i + "\r\n";
    write(out + "\r\nOK\r\n");
  };
  auto fail = [&](const std::string& result) { write(echo + result + "\r\n"); };
  struct {
    const std::function<void(const std::string&)>& write;
    void Write(const std::string& bytes) const { write(bytes); }
  } m{write};

  if (!line.empty() && line.back() == '\x1A') {
    const std::string pdu = line.substr(0, line.size() - 1);
    s.submits.push_back(pdu);
    const int n = ++s.pdusSent;
    auto error = s.sendErrors.find(n);
    if (error != s.sendErrors.end()) return fail(error->second);
    const int reference = s.nextReference++ & 0xFF;
    return m.Write(echo + "+CMGS: " + std::to_string(reference) + "\r\n\r\nOK\r\n");
  }
  if (StartsWith(line, "AT+CMGS=")) return m.Write(echo + "> ");
  if (line == "AT+CGMI") return ok({"Maker Ltd"});
  if (line == "AT+CGMM") return ok({"Model X"});
  if (line == "AT+CGSN") return ok({"490154203237518"});
  if (line == "AT+CPIN?") {
    if (!s.simPin.empty() && !s.pinOk) return m.Write(echo + "+CPIN: SIM PIN\r\n");
    return ok({"+CPIN: READY"});
  }
  if (StartsWith(line, "AT+CPIN=")) {
    if (line.substr(8) == s.simPin) {
      s.pinOk = true;
      return ok();
    }
    return fail("+CME ERROR: 16");
  }
  if (line == "AT+CSMS=?") return ok({"+CSMS: " + s.csmsServices});
  if (line == "AT+CSMS=1") return s.refuseCsms1 ? fail("+CMS ERROR: 303") : ok({"+CSMS: 1,1,1"});
  if (line == "AT+CSMS=0") return ok({"+CSMS: 1,1,1"});
  if (StartsWith(line, "AT+CNMI=2,2")) return s.refuseDirectCnmi ? fail("+CMS ERROR: 303") : ok();
  if (line == "AT+CNMA") {
    if (s.cnmaAnswers.empty()) return ok();
    const std::string answer = s.cnmaAnswers.front();
    s.cnmaAnswers.erase(s.cnmaAnswers.begin());
    return answer == "OK" ? ok() : fail(answer);
  }
  if (line == "AT+CMMS=?") return s.cmms ? ok({"+CMMS: (0-2)"}) : fail("ERROR");
  if (StartsWith(line, "AT+CMMS=")) return s.cmms ? ok() : fail("ERROR");
  if (line == "AT+CPMS?") {
    const auto& slots = s.storage[s.readStorage];
    const std::string used = std::to_string(slots.size());
    const std::string mem = Quoted(s.readStorage) + "," + used + ",30";
    return ok({"+CPMS: " + mem + "," + mem + "," + mem});
  }
  if (StartsWith(line, "AT+CPMS=\"")) {
    const std::string name = line.substr(9, line.find('"', 9) - 9);
    if (name != "SM" && name != "ME" && name != "SR") return fail("+CMS ERROR: 302");
    s.readStorage = name;
    return ok({"+CPMS: " + std::to_string(s.storage[name].size()) + ",30,0,30,0,30"});
  }
  if (StartsWith(line, "AT+CMGL=")) {
    const int wanted = std::stoi(line.substr(8));
    std::vector<std::string> info;
    for (auto& [index, message] : s.storage[s.readStorage]) {
      if (wanted != 4 && message.status != wanted) continue;
      info.push_back("+CMGL: " + std::to_string(index) + "," + std::to_string(message.status) + ",," +
                     std::to_string(sim::pdu::TpduLength(message.pdu)));
      info.push_back(message.pdu);
      if (message.status == 0) message.status = 1;
    }
    return ok(info);
  }
  if (StartsWith(line, "AT+CMGR=")) {
    auto& slots = s.storage[s.readStorage];
    auto found = slots.find(std::stoi(line.substr(8)));
    if (found == slots.end()) return fail("+CMS ERROR: 321");
    const int status = found->second.status;
    found->second.status = status == 0 ? 1 : status;
    return ok({"+CMGR: " + std::to_string(status) + ",," + std::to_string(sim::pdu::TpduLength(found->second.pdu)),
               found->second.pdu});
  }
  if (line == "AT+CMGD=1,4") {
    if (!s.deleteAllFlag) return fail("+CMS ERROR: 303");
    s.storage[s.readStorage].clear();
    return ok();
  }
  if (StartsWith(line, "AT+CMGD=")) {
    auto& slots = s.storage[s.readStorage];
    if (slots.erase(std::stoi(line.substr(8))) == 0) return fail("+CMS ERROR: 321");
    return ok();
  }
  if (s.diagnostics) {
    if (line == "AT+CSQ") return ok({"+CSQ: 17,99"});
    if (line == "AT+CREG?") return ok({"+CREG: 0,5"});
    if (line == "AT+COPS?") return ok({"+COPS: 0,0,\"Vela Net\",2"});
    if (line == "AT+CSCA?") return ok({"+CSCA: \"+15550000100\",145"});
    if (line == "AT+CIMI") return ok({"001010123456789"});
    if (line == "AT+CCID") return fail("ERROR");
    if (line == "AT+ICCID") return ok({"+ICCID: 8901260123456789012F"});
    if (line == "AT+CPINR") return ok({"+CPINR: SIM PIN,3,3", "+CPINR: SIM PUK,10,10"});
  } else if (line == "AT+CSQ" || line == "AT+CREG?" || line == "AT+CEREG?" || line == "AT+COPS?" ||
             line == "AT+CSCA?" || line == "AT+CIMI" || line == "AT+CCID" || line == "AT+ICCID" || line == "AT+CPINR") {
    return fail("+CME ERROR: 4");
  }
  if (line == "AT+CEREG?") return fail("ERROR");
  ok();
}

std::string TextDeliverPdu(const std::string& from, const std::string& utf8Text) {
  sim::pdu::Deliver deliver;
  sim::pdu::MakeTextDeliver("", from, utf8Text, kScts, &deliver);
  return sim::pdu::EncodeDeliver(deliver);
}

std::string Ucs2PartPdu(const std::string& from, const std::u16string& text, int reference, int total, int sequence) {
  sim::pdu::Deliver deliver;
  sim::pdu::MakeTextDeliver("", from, "x", kScts, &deliver);
  deliver.firstOctet |= 0x40;  // TP-UDHI
  deliver.dcs = 0x08;
  sim::pdu::Bytes ud = {
      0x05, 0x00, 0x03, static_cast<uint8_t>(reference), static_cast<uint8_t>(total), static_cast<uint8_t>(sequence)};
  for (char16_t unit : text) {
    ud.push_back(static_cast<uint8_t>(unit >> 8));
    ud.push_back(static_cast<uint8_t>(unit & 0xFF));
  }
  deliver.userDataLength = static_cast<int>(ud.size());
  deliver.userData = ud;
  return sim::pdu::EncodeDeliver(deliver);
}

std::string StatusReportPdu(int reference, int status) {
  sim::pdu::StatusReport report;
  report.messageReference = reference;
  report.recipient.number = "+4917012345678";
  report.serviceCentreTime = kScts;
  report.dischargeTime = {2026, 12, 8, 17, 30, 9, 4};
  report.status = status;
  return sim::pdu::EncodeStatusReport(report);
}

std::string CmtLines(const std::string& pdu) {
  return "\r\n+CMT: ," + std::to_string(sim::pdu::TpduLength(pdu)) + "\r\n" + pdu + "\r\n";
}

std::string CdsLines(const std::string& pdu) {
  return "\r\n+CDS: " + std::to_string(sim::pdu::TpduLength(pdu)) + "\r\n" + pdu + "\r\n";
}

}  // namespace vela::test

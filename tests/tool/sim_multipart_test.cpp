// Concatenated messages through the simulated modem's pty: multi-part sends
// echoed part by part, +CMMS, deliver-long and its control line.
#include <gtest/gtest.h>

#include <memory>

#include "modem_sim.h"
#include "modem_sim_control.h"
#include "sim_pdu.h"
#include "sim_test_client.h"

namespace vela::sim {
namespace {

using testing::PtyClient;

constexpr char kCtrlZ = '\x1A';

struct IndicationLine {
  std::string header;  // "+CMT: ,159" ...
  std::string pdu;
};

// The two-line indications (+CMT / +CDS) in a stretch of modem output.
std::vector<IndicationLine> ParseIndications(const std::string& text) {
  std::vector<IndicationLine> out;
  std::vector<std::string> lines;
  size_t pos = 0, nl;
  while ((nl = text.find("\r\n", pos)) != std::string::npos) {
    lines.push_back(text.substr(pos, nl - pos));
    pos = nl + 2;
  }
  for (size_t i = 0; i + 1 < lines.size(); ++i) {
    if (lines[i].rfind("+CMT:", 0) == 0 || lines[i].rfind("+CDS:", 0) == 0) {
      out.push_back({lines[i], lines[i + 1]});
      ++i;
    }
  }
  return out;
}

// Reads until `count` indications are in `seen` plus what arrives.
std::vector<IndicationLine> ReadIndications(PtyClient& client, size_t count, std::string seen = "",
                                            int timeoutMs = 5000) {
  for (;;) {
    std::vector<IndicationLine> got = ParseIndications(seen);
    if (got.size() >= count) return got;
    std::string more = client.ReadUntil("\r\n", timeoutMs);
    if (more.empty()) return got;
    seen += more;
  }
}

// A 7-bit SUBMIT of one part of a concatenated message (8-bit reference).
std::string ConcatenatedSubmit(const std::string& to, const std::string& text, int ref, int total, int seq,
                               bool statusReport) {
  pdu::Bytes septets;
  pdu::TextToGsm(pdu::Utf8ToCodePoints(text), &septets);
  pdu::Bytes ud = pdu::ConcatenationHeader(ref, total, seq, false);  // 6 octets: one fill bit
  pdu::Bytes packed = pdu::PackSeptets(septets, 1);
  ud.insert(ud.end(), packed.begin(), packed.end());
  pdu::Bytes tpdu{static_cast<uint8_t>(statusReport ? 0x61 : 0x41), 0x00};
  pdu::Bytes da = pdu::EncodeAddress(to);
  tpdu.insert(tpdu.end(), da.begin(), da.end());
  tpdu.push_back(0x00);
  tpdu.push_back(0x00);
  tpdu.push_back(static_cast<uint8_t>(7 + septets.size()));
  tpdu.insert(tpdu.end(), ud.begin(), ud.end());
  return "00" + pdu::ToHex(tpdu);
}

class SimMultipart : public ::testing::Test {
 protected:
  void StartSim(ModemSimOptions o = {}) {
    o.echo = false;
    sim_ = std::make_unique<ModemSim>(o);
    sim_->Start();
    client_ = std::make_unique<PtyClient>(sim_->DevicePath());
    ASSERT_TRUE(client_->IsOpen());
  }
  // Sends one message and returns its final answer; indications that came
  // meanwhile are kept in seen_.
  std::string Send(const std::string& pduHex) {
    client_->Send("AT+CMGS=" + std::to_string(pdu::TpduLength(pduHex)) + "\r");
    seen_ += client_->ReadUntil("> ");
    client_->Send(pduHex + kCtrlZ);
    std::string answer = client_->ReadFinal();
    size_t final = answer.rfind("\r\n", answer.size() - 3);
    final = final == std::string::npos ? 0 : final;
    size_t cmgs = answer.rfind("\r\n+CMGS:");
    size_t cut = cmgs != std::string::npos ? cmgs : final;
    seen_ += answer.substr(0, cut);
    return answer.substr(cut);
  }
  std::string seen_;
  std::string Command(const std::string& c) {
    client_->Send(c + "\r");
    return client_->ReadFinal();
  }
  std::unique_ptr<ModemSim> sim_;
  std::unique_ptr<PtyClient> client_;
};

TEST_F(SimMultipart, PartsToTheOwnNumberComeBackWithHeadersAndAReportEach) {
  ModemSimOptions o;
  o.deliverDelayMs = 0;
  o.reportDelayMs = 100;
  StartSim(o);
  const std::string texts[] = {std::string(153, 'A'), std::string(153, 'B'), "the end [ok]"};
  // Sent out of order: the modem does not care, it echoes each part as it comes.
  const int order[] = {2, 1, 3};
  for (int i = 0; i < 3; ++i) {
    int seq = order[i];
    ASSERT_EQ(Send(ConcatenatedSubmit("+15550000000", texts[seq - 1], 0x77, 3, seq, true)),
              "\r\n+CMGS: " + std::to_string(i + 1) + "\r\n\r\nOK\r\n");
  }
  std::vector<IndicationLine> ind = ReadIndications(*client_, 6, seen_);
  ASSERT_EQ(ind.size(), 6u);
  std::vector<int> cmtSequences, reportReferences;
  for (const IndicationLine& l : ind) {
    std::string error;
    if (l.header.rfind("+CMT: ,", 0) == 0) {
      pdu::Deliver d;
      ASSERT_TRUE(pdu::DecodeDeliver(l.pdu, &d, &error)) << error;
      EXPECT_EQ(std::atoi(l.header.c_str() + 7), pdu::TpduLength(l.pdu));
      EXPECT_EQ(d.firstOctet & 0x60, 0x60);  // header kept, report indicated
      EXPECT_EQ(d.udh.reference, 0x77);
      EXPECT_EQ(d.udh.total, 3);
      EXPECT_EQ(d.text, texts[d.udh.sequence - 1]);
      cmtSequences.push_back(d.udh.sequence);
    } else {
      pdu::StatusReport r;
      ASSERT_TRUE(pdu::DecodeStatusReport(l.pdu, &r, &error)) << error;
      reportReferences.push_back(r.messageReference);
    }
  }
  EXPECT_EQ(cmtSequences, (std::vector<int>{2, 1, 3}));
  EXPECT_EQ(reportReferences, (std::vector<int>{1, 2, 3}));

  std::vector<SubmitRecord> submits = sim_->Submits();
  ASSERT_EQ(submits.size(), 3u);
  EXPECT_TRUE(submits[0].concatenated);
  EXPECT_FALSE(submits[0].reference16);
  EXPECT_EQ(submits[0].concatReference, 0x77);
  EXPECT_EQ(submits[0].concatTotal, 3);
  EXPECT_EQ(submits[0].concatSequence, 2);
  EXPECT_EQ(submits[0].header, "0003770302");
  EXPECT_EQ(submits[2].text, "the end [ok]");
  std::vector<SubmittedMessage> messages = sim_->SubmittedMessages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_TRUE(messages[0].complete);
  EXPECT_EQ(messages[0].text, texts[0] + texts[1] + texts[2]);
  EXPECT_EQ(messages[0].references, (std::vector<int>{2, 1, 3}));
  EXPECT_EQ(messages[0].sequences, (std::vector<int>{2, 1, 3}));
}

TEST_F(SimMultipart, SubmittedMessagesJoinBySenderReferenceAndFlagSplitPairs) {
  StartSim();
  // A message whose part 1 ends with a whole escape pair, a part that ends
  // with half of one, then the same
  // reference reused for a second message after the first completed.
  ASSERT_EQ(Send(ConcatenatedSubmit("+491", std::string(151, 'x') + "\u20AC", 9, 2, 1, false)).find("+CMGS"), 2u);
  pdu::Bytes septets(152, 0x78);
  septets.push_back(0x1B);
  pdu::Bytes ud = pdu::ConcatenationHeader(5, 2, 1, false);
  pdu::Bytes packed = pdu::PackSeptets(septets, 1);
  ud.insert(ud.end(), packed.begin(), packed.end());
  std::string split =
      "004100048119910000" + pdu::ToHex(pdu::Bytes{static_cast<uint8_t>(7 + septets.size())}) + pdu::ToHex(ud);
  ASSERT_EQ(Send(split).find("+CMGS"), 2u);
  ASSERT_EQ(Send(ConcatenatedSubmit("+91", "e", 5, 2, 2, false)).find("+CMGS"), 2u);  // another sender
  ASSERT_EQ(Send(ConcatenatedSubmit("+491", "done", 9, 2, 2, false)).find("+CMGS"), 2u);
  ASSERT_EQ(Send(ConcatenatedSubmit("+491", "again", 9, 2, 2, false)).find("+CMGS"), 2u);
  std::vector<SubmitRecord> s = sim_->Submits();
  ASSERT_EQ(s.size(), 5u);
  EXPECT_FALSE(s[0].endsInEscape);
  EXPECT_TRUE(s[1].endsInEscape);
  EXPECT_EQ(s[1].destination, "9119");
  std::vector<SubmittedMessage> m = sim_->SubmittedMessages();
  ASSERT_EQ(m.size(), 4u);
  EXPECT_EQ(m[0].destination, "+491");
  EXPECT_TRUE(m[0].complete);
  EXPECT_EQ(m[0].text, std::string(151, 'x') + "\u20AC" + "done");
  EXPECT_FALSE(m[1].complete);
  EXPECT_EQ(m[1].references, (std::vector<int>{2, -1}));
  EXPECT_FALSE(m[2].complete);  // same reference, other destination
  EXPECT_EQ(m[3].text, "again");
  EXPECT_FALSE(m[3].complete);
}

TEST_F(SimMultipart, MoreMessagesToSendIsAnsweredAndRemembered) {
  StartSim();
  struct Step {
    const char* command;
    const char* answer;
  } steps[] = {
      {"AT+CMMS=?", "\r\n+CMMS: (0-2)\r\n\r\nOK\r\n"},
      {"AT+CMMS?", "\r\n+CMMS: 0\r\n\r\nOK\r\n"},
      {"AT+CMMS=1", "\r\nOK\r\n"},
      {"AT+CMMS?", "\r\n+CMMS: 1\r\n\r\nOK\r\n"},
      {"AT+CMMS=3", "\r\n+CMS ERROR: 302\r\n"},
      {"AT+CMMS=x", "\r\n+CMS ERROR: 302\r\n"},
      {"AT+CMMS=2", "\r\nOK\r\n"},
  };
  for (const Step& s : steps) EXPECT_EQ(Command(s.command), s.answer) << s.command;
  EXPECT_EQ(sim_->CmmsMode(), 2);
  ModemSimOptions without = sim_->Options();
  without.cmms = false;
  sim_->SetOptions(without);
  for (const char* c : {"AT+CMMS=?", "AT+CMMS=1", "AT+CMMS?"}) EXPECT_EQ(Command(c), "\r\nERROR\r\n") << c;
}

TEST_F(SimMultipart, DeliverLongSendsThePartsAsTheControlLineSays) {
  StartSim();
  const std::string text = std::string(200, 'a') + std::string(120, 'b');  // 3 parts of 153 septets
  const std::string cyrillic = "\u0416\u0443\u0440\u043D\u0430\u043B " + std::string(80, 'z');  // UCS2: 2 parts
  struct Case {
    std::string line;
    std::vector<int> sequences;
    int dcs;
    bool ref16;
    std::string text;
  } cases[] = {
      {"deliver-long +4930 " + text, {1, 2, 3}, 0x00, false, text},
      {"deliver-long --order 2,1,3 --duplicate 2 +4930 " + text, {2, 2, 1, 3}, 0x00, false, text},
      {"deliver-long --drop 1 --order 3,2,1 +4930 " + text, {3, 2}, 0x00, false, text.substr(153)},
      {"deliver-long --ucs2 --ref16 --ref 4660 +4930 " + text, {1, 2, 3, 4, 5}, 0x08, true, text},
      {"deliver-long +4930 " + cyrillic, {1, 2}, 0x08, false, cyrillic},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line.substr(0, 50));
    std::string error;
    ApplyControlLine(*sim_, c.line, &error);
    ASSERT_EQ(error, "");
    std::vector<IndicationLine> ind = ReadIndications(*client_, c.sequences.size());
    ASSERT_EQ(ind.size(), c.sequences.size());
    std::vector<int> sequences;
    std::vector<std::string> byPart(8);
    int reference = -1;
    for (const IndicationLine& l : ind) {
      pdu::Deliver d;
      ASSERT_TRUE(pdu::DecodeDeliver(l.pdu, &d, &error)) << error;
      EXPECT_EQ(d.originator.number, "+4930");
      EXPECT_EQ(d.dcs, c.dcs);
      EXPECT_EQ(d.udh.reference16, c.ref16);
      if (reference >= 0) {
        EXPECT_EQ(d.udh.reference, reference);  // one reference for all parts
      }
      reference = d.udh.reference;
      sequences.push_back(d.udh.sequence);
      byPart[static_cast<size_t>(d.udh.sequence)] = d.text;
    }
    EXPECT_EQ(sequences, c.sequences);
    std::string joined;
    for (const std::string& t : byPart) joined += t;
    EXPECT_EQ(joined, c.text);
    if (c.ref16) {
      EXPECT_EQ(reference, 4660);
    }
  }
  EXPECT_EQ(client_->ReadFor(100), "");
  // Each new message takes a new reference.
  int first = sim_->InjectDeliverLong("+1", text);
  EXPECT_EQ(first, 3);
  std::vector<IndicationLine> a = ReadIndications(*client_, 3);
  sim_->InjectDeliverLong("+1", text);
  std::vector<IndicationLine> b = ReadIndications(*client_, 3);
  ASSERT_EQ(a.size() + b.size(), 6u);
  pdu::Deliver da, db;
  std::string error;
  ASSERT_TRUE(pdu::DecodeDeliver(a[0].pdu, &da, &error));
  ASSERT_TRUE(pdu::DecodeDeliver(b[0].pdu, &db, &error));
  EXPECT_NE(da.udh.reference, db.udh.reference);
}

TEST_F(SimMultipart, ControlLinesRefuseWhatCannotBeSent) {
  StartSim();
  struct Case {
    const char* line;
    const char* errorPart;
  } cases[] = {
      {"deliver-long", "missing originator"},
      {"deliver-long --ucs2", "missing originator"},
      {"deliver-long --bogus +1 x", "unknown option --bogus"},
      {"deliver-long --order 2,x +1 x", "--order needs part numbers"},
      {"deliver-long --ref 70000 +1 x", "--ref needs"},
      {"deliver-long --order 2 +1 short", "order: part 2 of a message of 1 parts"},
      {"deliver-long --drop 4 +1 short", "drop: part 4 of a message of 1 parts"},
      {"deliver +1 \U0001F600 is fine but this text is far too long for one UCS2 message of seventy units",
       "does not fit"},
  };
  for (const Case& c : cases) {
    std::string error;
    ApplyControlLine(*sim_, c.line, &error);
    EXPECT_NE(error.find(c.errorPart), std::string::npos) << c.line << " gave: " << error;
  }
  EXPECT_EQ(client_->ReadFor(150), "");
  // Any Unicode text that fits one part goes as a single UCS2 DELIVER.
  std::string error;
  ApplyControlLine(*sim_, "deliver +1 \u4F60\u597D \U0001F44D\U0001F3FD", &error);
  EXPECT_EQ(error, "");
  std::vector<IndicationLine> ind = ReadIndications(*client_, 1);
  ASSERT_EQ(ind.size(), 1u);
  pdu::Deliver d;
  ASSERT_TRUE(pdu::DecodeDeliver(ind[0].pdu, &d, &error)) << error;
  EXPECT_EQ(d.dcs, 0x08);
  EXPECT_EQ(d.text, "\u4F60\u597D \U0001F44D\U0001F3FD");
}

}  // namespace
}  // namespace vela::sim

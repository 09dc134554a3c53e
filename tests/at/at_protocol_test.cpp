// The AT line protocol from tables of lines as modems write them, including
// truncated and hostile variants.
#include "at/at_protocol.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vela::at {
namespace {

using K = IndicationKind;
constexpr int kNone = -999;  // "no value" in the tables

int Or(const std::optional<int>& v) { return v ? *v : kNone; }

struct IndicationCase {
  ByteString line;
  bool indication;
  K kind;
  ByteString alpha;
  int length;
  ByteString storage;
  int index;
};

TEST(AtProtocolIndication, RecognisesHeaderVariants) {
  const IndicationCase cases[] = {
      {"+CMT: ,24", true, K::kCmt, "", 24, "", kNone},
      {"+CMT: \"BROOKE\",24", true, K::kCmt, "BROOKE", 24, "", kNone},
      {"+CMT: \"OK>\",24", true, K::kCmt, "OK>", 24, "", kNone},
      {"+CMT: \"ERROR\",24", true, K::kCmt, "ERROR", 24, "", kNone},
      {"+CMT: \"READY\",7", true, K::kCmt, "READY", 7, "", kNone},
      {"+CMT: \"004F004B\",24", true, K::kCmt, "004F004B", 24, "", kNone},
      {"+CMT: \"Smith, John\",31", true, K::kCmt, "Smith, John", 31, "", kNone},  // comma in alpha
      {"+CMT: \"a\"b\",12", true, K::kCmt, "a\"b", 12, "", kNone},                // stray quote
      {"  +CMT: ,24\r", true, K::kCmt, "", 24, "", kNone},
      {"+CMT: 24", true, K::kCmt, "", 24, "", kNone},        // alpha and comma left out
      {"+CMT: \"BRO", true, K::kCmt, "", kNone, "", kNone},  // truncated
      {"+CMT:", true, K::kCmt, "", kNone, "", kNone},
      {"+CMT: ,99999999999", true, K::kCmt, "", kNone, "", kNone},  // overflowing length
      {"+CDS: 25", true, K::kCds, "", 25, "", kNone},
      {"+CDS: 6,25,\"+123\",145", true, K::kCds, "", 6, "", kNone},  // text-mode shape
      {"+CMTI: \"SM\",3", true, K::kCmti, "", kNone, "SM", 3},
      {"+CMTI: \"ME\",12", true, K::kCmti, "", kNone, "ME", 12},
      {"+CMTI: SM,3", true, K::kCmti, "", kNone, "SM", 3},
      {"+CMTI: \"SM\"", true, K::kCmti, "", kNone, "SM", kNone},
      {"+CDSI: \"SR\",1", true, K::kCdsi, "", kNone, "SR", 1},
      {"+CBM: 88", true, K::kCbm, "", 88, "", kNone},
      {"+CBMI: \"BM\",2", true, K::kCbmi, "", kNone, "BM", 2},
      {"RING", true, K::kRing, "", kNone, "", kNone},
      {"+CRING: VOICE", true, K::kRing, "", kNone, "", kNone},
      {"+CUSD: 0,\"Balance OK\",15", true, K::kCusd, "", kNone, "", kNone},  // USSD answers
      {"+CUSD: 4", true, K::kCusd, "", kNone, "", kNone},
      {" +CUSD: 1,\"1 > 2\nERROR\",15", true, K::kCusd, "", kNone, "", kNone},
      // Not indications: answers, echoes, look-alikes.
      {"OK", false, K::kRing, "", kNone, "", kNone},
      {"RINGING", false, K::kRing, "", kNone, "", kNone},
      {"+CMGS: 7", false, K::kRing, "", kNone, "", kNone},
      {"+CMGL: 1,0,,24", false, K::kRing, "", kNone, "", kNone},
      {"AT+CMT", false, K::kRing, "", kNone, "", kNone},
      {"+CMTX: 1", false, K::kRing, "", kNone, "", kNone},
      {"AT+CUSD=1,\"*100#\",15", false, K::kRing, "", kNone, "", kNone},  // its echo
      {"+CUSDX: 1", false, K::kRing, "", kNone, "", kNone},
      {"+CM", false, K::kRing, "", kNone, "", kNone},
      {"", false, K::kRing, "", kNone, "", kNone},
  };
  for (const IndicationCase& c : cases) {
    SCOPED_TRACE(c.line);
    std::optional<Indication> got = RecogniseIndication(c.line);
    ASSERT_EQ(got.has_value(), c.indication);
    if (!got) continue;
    EXPECT_EQ(got->kind, c.kind);
    EXPECT_EQ(got->alpha, c.alpha);
    EXPECT_EQ(Or(got->length), c.length);
    EXPECT_EQ(got->storage, c.storage);
    EXPECT_EQ(Or(got->index), c.index);
    EXPECT_EQ(got->PduFollows(), c.kind == K::kCmt || c.kind == K::kCds || c.kind == K::kCbm);
  }
  // +CREG is an indication in its unsolicited shape only: "<n>,<stat>" is
  // the answer to AT+CREG? and stays in that command's response.
  const struct {
    const char* line;
    bool indication;
    std::optional<int> stat;
  } registrations[] = {
      {"+CREG: 1", true, 1},
      {"+CREG: 5,\"00C3\",\"0000A1B2\",7", true, 5},
      {" +CREG: 2", true, 2},
      {"+CREG: x", true, std::nullopt},
      {"+CREG: 0,1", false, std::nullopt},
      {"+CREG: 2,5,\"00C3\",\"A1B2\"", false, std::nullopt},
      {"AT+CREG?", false, std::nullopt},
  };
  for (const auto& r : registrations) {
    SCOPED_TRACE(r.line);
    const std::optional<Indication> got = RecogniseIndication(r.line);
    ASSERT_EQ(got.has_value(), r.indication);
    if (!got) continue;
    EXPECT_EQ(got->kind, K::kCreg);
    EXPECT_EQ(got->stat, r.stat);
    EXPECT_FALSE(got->PduFollows());
  }
}

TEST(AtProtocolIndication, PrefixOfEveryByteOfAnIndicationHeader) {
  // Every prefix of a real header may still become an indication.
  for (ByteString header : {"+CMT: \"BROOKE\",24", "+CDS: 25", "+CMTI: \"SM\",3", "RING", "\r+CDSI: \"SR\",1",
                            "+CMT: \"OK>\",24", "+CUSD: 0,\"OK READY\",15"}) {
    for (size_t n = 0; n <= header.size(); ++n) {
      EXPECT_TRUE(IsIndicationPrefix(header.substr(0, n))) << header.substr(0, n);
    }
  }
  for (ByteString partial : {"OK", "ERROR", ">", "READY", "+CPIN: READY", "+CMGS: 1", "RINGS", "AT+CMT", "SIM PIN",
                             "+CME ERROR: 16", "0791"}) {
    EXPECT_FALSE(IsIndicationPrefix(partial)) << partial;
  }
}

TEST(AtProtocolErrors, NumbersFromResultLines) {
  struct Case {
    ByteString text;
    int cms, cme;
  } cases[] = {
      {"+CMS ERROR: 304", 304, kNone},
      {"AT+CMGS=23\r\n+CMS ERROR: 500\r\n", 500, kNone},
      {"+CME ERROR: 16", kNone, 16},
      {"+CME ERROR:10\r\n", kNone, 10},
      {"+CME ERROR: incorrect password", kNone, kNone},  // verbose results carry no number
      {"+CMS ERROR: ", kNone, kNone},
      {"+CMS ERROR: 3x4", kNone, kNone},
      {"ERROR", kNone, kNone},
      {"OK", kNone, kNone},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(Or(ParseCmsError(c.text)), c.cms);
    EXPECT_EQ(Or(ParseCmeError(c.text)), c.cme);
  }
}

TEST(AtProtocolErrors, MeaningsOfTheNumbers) {
  struct Case {
    bool cms;
    int code;
    const char* text;
  } cases[] = {
      {true, 304, "invalid PDU mode parameter"},
      {true, 38, "network out of order"},
      {true, 41, "temporary failure"},
      {true, 42, "congestion"},
      {true, 47, "resources unavailable, unspecified"},
      {true, 330, "SMSC address unknown"},
      {true, 500, "unknown error"},
      {true, 512, "manufacturer-specific error 512"},
      {true, 0xC3, "invalid SME address"},
      {true, 777, "manufacturer-specific error 777"},
      {true, 200, "unknown error 200"},
      {false, 16, "incorrect password"},
      {false, 10, "SIM not inserted"},
      {false, 11, "SIM PIN required"},
      {false, 12, "SIM PUK required"},
      {false, 30, "no network service"},
      {false, 100, "unknown"},
      {false, 9, "unknown error 9"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.cms ? CmsErrorText(c.code) : CmeErrorText(c.code), c.text) << c.code;
  }
}

TEST(AtProtocolErrors, FindModemErrorDescribesIt) {
  struct Case {
    ByteString response;
    bool found;
    ByteString describe;
  } cases[] = {
      {"AT+CMGS=23\r\n> \r\n+CMS ERROR: 304\r\n", true, "+CMS ERROR: 304: invalid PDU mode parameter"},
      {"AT+CPIN=\"0000\"\r\n+CME ERROR: 16\r\n", true, "+CME ERROR: 16: incorrect password"},
      {"+CME ERROR: SIM PUK required\r\n", true, "+CME ERROR: SIM PUK required"},
      {"AT+CSMS=1\r\nERROR\r\n", true, "ERROR"},
      {"+CMT: \"ERROR\",24\r\nOK\r\n", false, ""},  // "ERROR" inside an alpha is no result
      {"OK\r\n", false, ""},
      {"", false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.response);
    std::optional<ModemError> error = FindModemError(c.response);
    ASSERT_EQ(error.has_value(), c.found);
    if (error) {
      EXPECT_EQ(error->Describe(), c.describe);
    }
  }
}

TEST(AtProtocolAnswers, ScalarAnswers) {
  EXPECT_EQ(Or(ParseCmgsReference("AT+CMGS=23\r\n> \r\n+CMGS: 7\r\nOK\r\n")), 7);
  EXPECT_EQ(Or(ParseCmgsReference("+CMGS: 255,\"0011\"\r\n")), 255);
  EXPECT_EQ(Or(ParseCmgsReference("+CMGS: 256\r\n")), kNone);
  EXPECT_EQ(Or(ParseCmgsReference("+CMGS: \r\n")), kNone);
  EXPECT_EQ(Or(ParseCmgsReference("+CMS ERROR: 304\r\n")), kNone);

  struct Csq {
    const char* response;
    int dbm;
  } csq[] = {{"+CSQ: 0,99", -113},   {"+CSQ: 17,99", -79}, {"+CSQ: 31,0", -51}, {"+CSQ: 99,99", kNone},
             {"+CSQ: 32,99", kNone}, {"+CSQ: ,", kNone},   {"+CSQ:", kNone},    {"OK", kNone}};
  for (const Csq& c : csq) EXPECT_EQ(Or(ParseCsqDbm(c.response)), c.dbm) << c.response;
}

TEST(AtProtocolAnswers, Registration) {
  struct Case {
    const char* response;
    const char* state;  // nullptr: nullopt
  } cases[] = {
      {"+CREG: 0,1\r\nOK\r\n", "home"},
      {"+CREG: 2,5,\"1A2B\",\"01C3\",7", "roaming"},
      {"+CREG: 0,2", "searching"},
      {"+CREG: 0,3", "denied"},
      {"+CREG: 0,0", "not registered"},
      {"+CREG: 0,4", "unknown"},
      {"+CEREG: 0,1", "home"},
      {"+CGREG: 1,5", "roaming"},
      {"+CREG: 1", "home"},                       // unsolicited form
      {"+CREG: 5,\"1A2B\",\"01C3\"", "roaming"},  // unsolicited with location
      {"+CREG: 0,42", "unknown"},
      {"+CREG: x", nullptr},
      {"ERROR", nullptr},
  };
  for (const Case& c : cases) {
    std::optional<ByteString> got = ParseRegistration(c.response);
    if (c.state == nullptr) {
      EXPECT_FALSE(got) << c.response;
    } else {
      EXPECT_EQ(got.value_or("<none>"), c.state) << c.response;
    }
  }
}

TEST(AtProtocolAnswers, OperatorSmscStorage) {
  EXPECT_EQ(ParseCopsOperator("+COPS: 0,0,\"Vodafone.de\",7\r\nOK\r\n").value_or(""), "Vodafone.de");
  EXPECT_EQ(ParseCopsOperator("+COPS: 0,2,\"26202\"").value_or(""), "26202");
  EXPECT_EQ(ParseCopsOperator("+COPS: 0,0,\"T-Mobile, US\",2").value_or(""), "T-Mobile, US");
  EXPECT_FALSE(ParseCopsOperator("+COPS: 0"));
  EXPECT_FALSE(ParseCopsOperator("+COPS: 0,0,\"\""));

  EXPECT_EQ(ParseCscaNumber("+CSCA: \"+491710760000\",145").value_or(""), "+491710760000");
  EXPECT_EQ(ParseCscaNumber("+CSCA: \"491710760000\",145").value_or(""), "+491710760000");
  EXPECT_EQ(ParseCscaNumber("+CSCA: \"0171076\",129").value_or(""), "0171076");
  EXPECT_FALSE(ParseCscaNumber("+CSCA: \"\",129"));
  EXPECT_FALSE(ParseCscaNumber("+CME ERROR: 10"));

  std::optional<Storage> s = ParseCpms("+CPMS: \"SM\",3,30,\"SM\",3,30,\"SM\",3,30\r\nOK\r\n");
  ASSERT_TRUE(s);
  EXPECT_EQ(s->name, "SM");
  EXPECT_EQ(s->used, 3);
  EXPECT_EQ(s->total, 30);
  s = ParseCpms("+CPMS: 12,255,0,20,0,20");  // answer to a set command has no names
  ASSERT_TRUE(s);
  EXPECT_EQ(s->name, "");
  EXPECT_EQ(s->used, 12);
  EXPECT_EQ(s->total, 255);
  EXPECT_FALSE(ParseCpms("+CPMS: \"SM\""));
  EXPECT_FALSE(ParseCpms("+CPMS: \"SM\",x,30"));
}

TEST(AtProtocolAnswers, ListOfStoredMessages) {
  const ByteString response =
      "AT+CMGL=4\r\n"
      "+CMGL: 1,0,,24\r\n"
      "07912143658709F1040B919178563412F000003210802143650002E834\r\n"
      "+CMGL: 3,1,\"BROOKE\",24\r\n"
      "07912143658709F1040B919178563412F000003210802143650002E835\r\n"
      "+CMGL: 4,\"STO SENT\",,17\r\n"  // text-mode status name
      "0011000B919178563412F00000AA03C8F40F\r\n"
      "+CMGL: 5,2,,9\r\n"  // header whose PDU line is missing
      "+CMGL: x,1,,9\r\n"  // unreadable index: skipped
      "0011\r\n"
      "+CMGL: 7,9,,9\r\n"  // unknown status: skipped
      "OK\r\n";
  std::vector<StoredMessage> list = ParseCmgl(response);
  ASSERT_EQ(list.size(), 4u);
  EXPECT_EQ(list[0].index, 1);
  EXPECT_EQ(list[0].status, MessageStatus::kUnread);
  EXPECT_EQ(Or(list[0].length), 24);
  EXPECT_EQ(list[0].pdu, "07912143658709F1040B919178563412F000003210802143650002E834");
  EXPECT_EQ(list[1].index, 3);
  EXPECT_EQ(list[1].alpha, "BROOKE");
  EXPECT_STREQ(MessageStatusText(list[1].status), "read");
  EXPECT_STREQ(MessageStatusText(list[2].status), "sent");
  EXPECT_EQ(list[3].index, 5);
  EXPECT_STREQ(MessageStatusText(list[3].status), "unsent");
  EXPECT_EQ(list[3].pdu, "");
  EXPECT_TRUE(ParseCmgl("OK\r\n").empty());
}

TEST(AtProtocolAnswers, ReadOneMessage) {
  std::optional<StoredMessage> m = ParseCmgr("AT+CMGR=3\r\n+CMGR: 1,\"OK\",24\r\n0791214365\r\nOK\r\n");
  ASSERT_TRUE(m);
  EXPECT_EQ(m->status, MessageStatus::kRead);
  EXPECT_EQ(m->alpha, "OK");
  EXPECT_EQ(Or(m->length), 24);
  EXPECT_EQ(m->pdu, "0791214365");
  EXPECT_FALSE(ParseCmgr("AT+CMGR=9\r\nOK\r\n"));    // empty slot
  EXPECT_FALSE(ParseCmgr("+CMGR: 0,,0\r\nOK\r\n"));  // header only
  EXPECT_FALSE(ParseCmgr("+CMS ERROR: 321\r\n"));
  EXPECT_FALSE(ParseCmgr("+CMGR: \r\n0791\r\n"));
}

TEST(AtProtocolAnswers, PinAttemptCounters) {
  struct Case {
    const char* response;
    int pin, puk, pin2, puk2;
  } cases[] = {
      {"+CPINR: SIM PIN,3,3\r\n+CPINR: SIM PUK,10,10\r\nOK\r\n", 3, 10, kNone, kNone},
      {"+CPINR: \"SIM PIN\",2,3\r\n+CPINR: \"SIM PIN2\",3,3\r\n+CPINR: \"SIM PUK2\",10,10", 2, kNone, 3, 10},
      {"^CPIN: SIM PIN,3,10,3,10,3", 3, 10, 3, 10},
      {"+QPINC: \"SC\",3,10\r\n+QPINC: \"P2\",3,10", 3, 10, 3, 10},
      {"+SPIC: 1,10,3,10", 1, 10, 3, 10},
      {"+UPINCNT: 3,3,10,10", 3, 10, 3, 10},
      {"+CPINR: SIM PIN", kNone, kNone, kNone, kNone},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.response);
    std::optional<PinAttempts> a = ParsePinAttempts(c.response);
    if (c.pin == kNone && c.puk == kNone) {
      EXPECT_FALSE(a);
      continue;
    }
    ASSERT_TRUE(a);
    EXPECT_EQ(Or(a->pin), c.pin);
    EXPECT_EQ(Or(a->puk), c.puk);
    EXPECT_EQ(Or(a->pin2), c.pin2);
    EXPECT_EQ(Or(a->puk2), c.puk2);
  }
  EXPECT_FALSE(ParsePinAttempts("ERROR\r\n"));
  EXPECT_EQ(ParseCpin("+CPIN: SIM PIN\r\nOK\r\n").value_or(""), "SIM PIN");
  EXPECT_EQ(ParseCpin("+CPIN: READY").value_or(""), "READY");
  EXPECT_FALSE(ParseCpin("+CPIN:"));
}

TEST(AtProtocolAnswers, SupportedValuesAndService) {
  std::vector<std::vector<int>> cnmi = ParseSupportedValues("+CNMI: (0-2),(0-3),(0,2),(0-2),(0,1)\r\nOK\r\n", "+CNMI");
  ASSERT_EQ(cnmi.size(), 5u);
  EXPECT_EQ(cnmi[0], (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(cnmi[2], (std::vector<int>{0, 2}));
  EXPECT_EQ(cnmi[4], (std::vector<int>{0, 1}));
  EXPECT_EQ(ParseSupportedValues("+CSMS: (0,1)", "+CSMS"), (std::vector<std::vector<int>>{{0, 1}}));
  EXPECT_EQ(ParseSupportedValues("+CSMS: 0", "+CSMS"), (std::vector<std::vector<int>>{{0}}));
  EXPECT_EQ(ParseSupportedValues("+CMMS: (0-2)", "+CMMS"), (std::vector<std::vector<int>>{{0, 1, 2}}));
  // Empty parameter, hostile range: bounded.
  std::vector<std::vector<int>> odd = ParseSupportedValues("+CNMI: (0-2),,(0-999999999", "+CNMI");
  ASSERT_EQ(odd.size(), 3u);
  EXPECT_TRUE(odd[1].empty());
  EXPECT_EQ(odd[2].size(), 256u);
  EXPECT_TRUE(ParseSupportedValues("ERROR", "+CNMI").empty());

  std::optional<MessageService> s = ParseCsms("+CSMS: 1,1,1,1\r\nOK\r\n");
  ASSERT_TRUE(s);
  EXPECT_EQ(Or(s->service), 1);
  EXPECT_TRUE(s->mt && s->mo && s->bm);
  s = ParseCsms("+CSMS: 1,1,0");
  ASSERT_TRUE(s);
  EXPECT_FALSE(s->service);
  EXPECT_TRUE(s->mt);
  EXPECT_FALSE(s->bm);
  EXPECT_FALSE(ParseCsms("+CSMS: (0,1)"));
  EXPECT_FALSE(ParseCsms("+CSMS: 1,1"));
}

TEST(AtProtocolAnswers, MessageServiceOneOffered) {
  struct Case {
    const char* response;
    bool offered;
  };
  const Case cases[] = {
      {"AT+CSMS=?\r\r\n+CSMS: (0,1)\r\n\r\nOK\r\n", true},
      {"+CSMS: (0-1)\r\nOK\r\n", true},
      {"+CSMS: (1)\r\nOK\r\n", true},
      {"+CSMS: (0,1,128)\r\nOK\r\n", true},
      {"AT+CSMS=?\r\r\n+CSMS: (0)\r\n\r\nOK\r\n", false},
      {"+CSMS: 0\r\nOK\r\n", false},
      {"+CSMS: (0,10)\r\nOK\r\n", false},
      {"+CSMS: (0,128)\r\nOK\r\n", false},
      {"+CSMS: ()\r\nOK\r\n", false},
      {"+CSMS: (0\r\nOK\r\n", false},         // truncated
      {"+CSMS: (0,\r\n1)\r\nOK\r\n", false},  // ",1)" only across two lines
      {"OK\r\n", false},
      {"", false},
  };
  for (const Case& c : cases) EXPECT_EQ(OffersMessageServiceOne(c.response), c.offered) << c.response;
}

TEST(AtProtocolAnswers, Identities) {
  EXPECT_EQ(ParseImsi("AT+CIMI\r\n262011234567890\r\nOK\r\n").value_or(""), "262011234567890");
  EXPECT_EQ(ParseImsi("+CIMI: 310150123456789").value_or(""), "310150123456789");
  EXPECT_FALSE(ParseImsi("AT+CIMI\r\nERROR\r\n"));
  EXPECT_FALSE(ParseImsi("1234567890123456\r\n"));  // 16 digits: too long
  EXPECT_EQ(ParseIccid("+CCID: \"89490200001234567890\"\r\nOK").value_or(""), "89490200001234567890");
  EXPECT_EQ(ParseIccid("^ICCID: 8949020000123456789F").value_or(""), "8949020000123456789");
  EXPECT_EQ(ParseIccid("+QCCID: 89860318740201234567").value_or(""), "89860318740201234567");
  EXPECT_FALSE(ParseIccid("+CCID: 1234"));
}

TEST(AtProtocolHelpers, FieldsAndNumbers) {
  EXPECT_EQ(SplitFields("1,\"a,b\", 3 ,"), (std::vector<ByteString>{"1", "\"a,b\"", "3", ""}));
  EXPECT_EQ(SplitFields(""), (std::vector<ByteString>{""}));
  EXPECT_EQ(Unquote(" \"SM\" "), "SM");
  EXPECT_EQ(Unquote("\""), "\"");
  EXPECT_EQ(Or(ParseInt(" 42 ")), 42);
  EXPECT_EQ(Or(ParseInt("-1")), kNone);
  EXPECT_EQ(Or(ParseInt("1234567890")), kNone);
  EXPECT_EQ(Or(ParseInt("")), kNone);
  EXPECT_EQ(AnswerValue("+CSQ: 1\r\n+CSQX: 2\r\n", "+CSQX").value_or(""), "2");
  EXPECT_FALSE(AnswerValue("+CSQ 1\r\n", "+CSQ"));
}

}  // namespace
TEST(AtProtocolIndications, RoutedHeaderNamedAnywhereOnTheLine) {
  struct Case {
    ByteString line;
    std::optional<IndicationKind> kind;
  } cases[] = {
      {"+CMT: ,24", IndicationKind::kCmt},
      {"+CDS: 25", IndicationKind::kCds},
      {"+CMT: +CDS: 25", IndicationKind::kCds},  // both named: a report
      {"+CDS: 6 +CMT: 5", IndicationKind::kCds},
      {"junk +CMT: ,24", IndicationKind::kCmt},
      {"+CMTI: \"SM\",3", std::nullopt},  // stored, no PDU follows
      {"+CMT ,24", std::nullopt},
      {"", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(RoutedHeaderNamed(c.line), c.kind) << c.line;
}

}  // namespace vela::at

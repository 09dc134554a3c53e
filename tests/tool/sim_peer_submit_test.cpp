// SMS-SUBMIT PDUs collected from the test suites of other public SMS tools,
// with the destination and text those tools expect: the simulator must read
// every well-formed one and refuse the malformed one.
#include <gtest/gtest.h>

#include "sim_pdu.h"

namespace vela::sim::pdu {
namespace {

struct PeerSubmit {
  const char* pdu;
  const char* destination;  // nullptr: not checked
  const char* text;         // nullptr: not checked
  bool statusReport;
};

const PeerSubmit kSubmits[] = {
    {"0001000B917228001011F100000CC8329BFD065DDF72363904", "+27820001111", "Hello World!", false},
    {"0005000B917228001011F10000094676788E064D9B53", "+27820001111", "Flash SMS", false},
    {"07914400000000F01100099121436587F90008F40A4E16754C60A8597DFF01", "+123456789", "\u4E16\u754C\u60A8\u597D\uFF01",
     false},
    {"04A12143F5310D0AA110624521430000A91BD4F29C0E6A97E7F3F0B9AC03B1DFE3301BE4AEB7C565F91C", "0126541234",
     "Test message: local numbers", true},
    {"0019000B917228001011F100003170013193008017D474BB3CA787DB70903DCC4E93D3F43C885E9ED301", "+27820001111",
     "Timestamp validity test", false},
    {"07911326040000F0310D0B911326880736F40000A90FF7FBDD454E87CDE1B0DB357EB701", "+31628870634", "www.diafaan.com",
     true},
    {"07914346466554F601000B914316565811F9000806304253F68449", "+34616585119", "\u3042\u53F6\u8449", false},
    {"0591721891F101000B917228214365F700040C48656C6C6F20776F726C6421", "+27821234567", "Hello world!", false},
    {"0045000B915121551532F40000A0050003000301986F79B90D4AC3E7F53688FC66BFE5A0799A0E0AB7CB741668FC76"
     "CFCB637A995E9783C2E4343C3D4F8FD3EE33A8CC4ED359A079990C22BF41E5747DDE7E9341F4721BFE9683D2EE71"
     "9A9C26D7DD74509D0E6287C56F791954A683C86FF65B5E06B5C36777181466A7E3F5B0AB4A0795DDE936284C06B5D"
     "3EE741B642FBBD3E1360B14AFA7DD",
     "+15125551234", nullptr, false},
    {"002100098136397339F70008224F60597D4F60597D4F60597D4F60597D4F60597D4F60597D4F60597D4F60597D4F60", "639337937",
     "\u4F60\u597D\u4F60\u597D\u4F60\u597D\u4F60\u597D\u4F60\u597D\u4F60\u597D\u4F60\u597D\u4F60"
     "\u597D\u4F60",
     true},
    {"07919130079229F011000B915155551532F40008003A041404300020043704340440043004320441044204320443"
     "043504420020043A043E0440043E043B044C002C0020043404350442043A04300021",
     "+15555551234",
     "\u0414\u0430 \u0437\u0434\u0440\u0430\u0432\u0441\u0442\u0432\u0443\u0435\u0442 "
     "\u043A\u043E\u0440\u043E\u043B\u044C, \u0434\u0435\u0442\u043A\u0430!",
     false},
    {"0011000B915155661632F40000001954747A0E4ACF41F27298CDCE83C6EF371B0481402010", "+15556661234",
     "This is really cool \u0394\u0394\u0394\u0394\u0394", false},
    {"0001000B915155661632F400001954747A0E4ACF41F27298CDCE83C6EF371B0481402010", "+15556661234",
     "This is really cool \u0394\u0394\u0394\u0394\u0394", false},
    {"038121431100048121430000FF0631D98C56B301", "1234", "123456", false},
    {"038121431100048121430008FF0C003100320033003400350036", "1234", "123456", false},
};

TEST(SimPeerSubmit, ReadsEveryWellFormedPeerSubmit) {
  for (const PeerSubmit& v : kSubmits) {
    Submit s;
    std::string error;
    ASSERT_TRUE(DecodeSubmit(v.pdu, TpduLength(v.pdu), &s, &error)) << v.pdu << ": " << error;
    if (v.destination) {
      EXPECT_EQ(s.destination.number, v.destination) << v.pdu;
    }
    if (v.text) {
      EXPECT_EQ(s.text, v.text) << v.pdu;
    }
    EXPECT_EQ(s.statusReportRequest(), v.statusReport) << v.pdu;
  }
}

TEST(SimPeerSubmit, ConcatenatedPartKeepsItsHeader) {
  const char* part =
      "0045000B915121551532F40000A0050003000302DE73BABC4E0695F165F9384D0FD3D36F37A8CE6687DBE337881D"
      "16BFE5E939C89D9EA741753A28CC4EC7EB6938A88C0795C3A0F1BBDD7E93DFA0F1DB3D2FC7EB61BA8B584FCF41E13"
      "ABD0C4ACBEBF23288FC66BFE5A0B41B242FC3E56574D94D2ECBD37450DA0DB2BFD975383D4C2F83EC65769A0E2AC"
      "FE765D038CD66D7DB20F29BFD2E83CA";
  Submit s;
  std::string error;
  ASSERT_TRUE(DecodeSubmit(part, TpduLength(part), &s, &error)) << error;
  EXPECT_EQ(ToHex(s.header), "0003000302");
  EXPECT_EQ(s.userDataLength, 160);
  EXPECT_EQ(Utf8ToCodePoints(s.text).size(), 153u);  // 160 septets less 7 for the header
}

TEST(SimPeerSubmit, RefusesTheMalformedOne) {
  // Twelve digits announced for eleven (the twelfth is the fill), and a user
  // data length of 160 UCS2 octets (more than one message holds) for 10: the
  // first fault is named.
  Submit s;
  std::string error;
  std::string pdu = "0041010C910661345542F60008A0050003000301306F3044";
  EXPECT_FALSE(DecodeSubmit(pdu, TpduLength(pdu), &s, &error));
  EXPECT_NE(error.find("destination: fill semi-octet"), std::string::npos) << error;
  pdu.replace(6, 2, "0B");
  EXPECT_FALSE(DecodeSubmit(pdu, TpduLength(pdu), &s, &error));
  EXPECT_NE(error.find("user data length 160 exceeds one message"), std::string::npos) << error;
}

}  // namespace
}  // namespace vela::sim::pdu

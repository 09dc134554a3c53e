#include "pdu/field_decoders.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pdu_test_util.h"

namespace vela {
namespace {

using Lines = std::vector<ByteString>;

// --- protocol identifier -----------------------------------------------------

struct PidCase {
  const char* octet;
  const char* bits;
  const char* description;
};

const std::string kPidPage = "Please visit http://www.3gpp.org/ftp/Specs/html-info/23040.htm for detail value of ";

TEST(ProtocolIdentifier, DescribesEachGroup) {
  const std::string sentence40 = kPidPage + "01000000.";
  const std::string sentenceC0 = kPidPage + "11000000.";
  const std::string sentence80 = kPidPage + "10000000.";
  const std::string sentence7F = kPidPage + "01111111.";
  const PidCase cases[] = {
      {"00", "00000000", "SME to SME protocol"},
      {"1F", "00011111", "SME to SME protocol"},
      {"20", "00100000", "Telematic interworking"},
      {"3F", "00111111", "Telematic interworking"},
      {"40", "01000000", sentence40.c_str()},
      {"80", "10000000", sentence80.c_str()},
      {"C0", "11000000", sentenceC0.c_str()},
      {"7f", "01111111", sentence7F.c_str()},  // lower case is upper-cased first
      {"", "00000000", "SME to SME protocol"},
      {"Z", "00000000", "SME to SME protocol"},
  };
  for (const auto& c : cases) {
    TProtocolIdentifier pid(c.octet);
    EXPECT_EQ(pid.Bits(), c.bits) << c.octet;
    EXPECT_EQ(pid.Description(), c.description) << c.octet;
  }
}

// --- data coding scheme --------------------------------------------------------

const char* const kGeneral = "General Data Coding indication";
const char* const kStore = "Message Waiting Indication Group: Store Message ";

struct DcsCase {
  const char* octet;
  Lines lines;
};

TEST(DataCodingScheme, DescribesEachCodingGroup) {
  const DcsCase cases[] = {
      {"00", {kGeneral, "Text is uncompressed", "No class meaning", "Using default alphabet"}},
      {"", {kGeneral, "Text is uncompressed", "No class meaning", "Using default alphabet"}},
      {"04", {kGeneral, "Text is uncompressed", "No class meaning", "Using 8 bit data"}},
      {"08", {kGeneral, "Text is uncompressed", "No class meaning", "Using UCS2 (16bit)"}},
      {"0C", {kGeneral, "Text is uncompressed", "No class meaning", "Using reserved alphabet"}},
      {"03", {kGeneral, "Text is uncompressed", "No class meaning", "Using default alphabet"}},
      {"20", {kGeneral, "Text is compressed", "No class meaning", "Using default alphabet"}},
      {"10",
       {kGeneral, "Text is uncompressed", "Has a class meaning", "Using default alphabet",
        "Class 0 : Immediate display (alert)"}},
      {"11",
       {kGeneral, "Text is uncompressed", "Has a class meaning", "Using default alphabet", "Class 1 : ME Spesific"}},
      {"16", {kGeneral, "Text is uncompressed", "Has a class meaning", "Using 8 bit data", "Class 2 : SIM Spesific"}},
      {"3B", {kGeneral, "Text is compressed", "Has a class meaning", "Using UCS2 (16bit)", "Class 3 : TE Spesific"}},
      {"40", {"Reserved coding groups"}},
      {"7F", {"Reserved coding groups"}},
      {"B0", {"Reserved coding groups"}},
      {"C8", {"Message Waiting Indication Group: Discard Message"}},
      {"CF", {"Message Waiting Indication Group: Discard Message"}},
      {"D8", {kStore, "Set indication active", "Voicemail Message Waiting"}},
      {"D1", {kStore, "Set indication inactive", "Fax Message Waiting"}},
      {"DF", {kStore, "Set indication active", "Other Message Waiting"}},
      {"E2",
       {kStore, "Set indication inactive", "Electronic Mail Message Waiting",
        "User data is in uncompressed UCS2 alphabet"}},
      {"F0", {"Message Class", "Default alphabet", "Class 0 : Immediate display (alert)"}},
      {"F1", {"Message Class", "Default alphabet", "Class 1 : ME specific"}},
      {"F6", {"Message Class", "8-bit data", "Class 2 : SIM specific"}},
      {"f7", {"Message Class", "8-bit data", "Class 3 : TE specific"}},
  };
  for (const auto& c : cases) {
    TDataCodingScheme dcs(c.octet);
    EXPECT_EQ(dcs.Description(), c.lines) << c.octet;
  }
}

TEST(DataCodingScheme, DescribeRebuildsRatherThanAppends) {
  TDataCodingScheme dcs("F6");
  const Lines first = dcs.Description();
  EXPECT_EQ(dcs.Describe(), first);
  EXPECT_EQ(dcs.Describe().size(), 3u);
  EXPECT_EQ(dcs.Bits(), "11110110");
}

// --- time stamp ----------------------------------------------------------------

struct StampCase {
  const char* text;        // already in reading order
  int y, mo, d, h, mi, s;  // y == 0: no valid date, DateTime 0
  const char* zone;
};

TEST(TimeStamp, DecodesDateAndZone) {
  const StampCase cases[] = {
      {"07122415300040", 2007, 12, 24, 15, 30, 0, "+10"},
      {"07122415300004", 2007, 12, 24, 15, 30, 0, "+1"},
      {"07122415300021", 2007, 12, 24, 15, 30, 0, "+5"},
      {"07122415300000", 2007, 12, 24, 15, 30, 0, "+0"},
      {"07122415300003", 2007, 12, 24, 15, 30, 0, "+0"},  // quarters below an hour dropped
      {"07122415300049", 2007, 12, 24, 15, 30, 0, "+12"},
      {"07122415300079", 2007, 12, 24, 15, 30, 0, "+19"},
      {"0712241530004A", 2007, 12, 24, 15, 30, 0, "+0"},  // not decimal
      // Century window: 91..99 are 19xx, everything else 20xx.
      {"90010100000000", 2090, 1, 1, 0, 0, 0, "+0"},
      {"91010100000000", 1991, 1, 1, 0, 0, 0, "+0"},
      {"99123123595900", 1999, 12, 31, 23, 59, 59, "+0"},
      {"00010100000000", 2000, 1, 1, 0, 0, 0, "+0"},
      {"08022912000000", 2008, 2, 29, 12, 0, 0, "+0"},
      // Invalid dates keep DateTime 0 and still get the zone.
      {"07132415300040", 0, 0, 0, 0, 0, 0, "+10"},
      {"07002415300040", 0, 0, 0, 0, 0, 0, "+10"},
      {"07120015300040", 0, 0, 0, 0, 0, 0, "+10"},
      {"07022912000000", 0, 0, 0, 0, 0, 0, "+0"},
      {"07043112000000", 0, 0, 0, 0, 0, 0, "+0"},
      {"07122424000000", 0, 0, 0, 0, 0, 0, "+0"},
      {"07122415600000", 0, 0, 0, 0, 0, 0, "+0"},
      {"07122415306000", 0, 0, 0, 0, 0, 0, "+0"},
      {"07A22415300000", 0, 0, 0, 0, 0, 0, "+0"},  // hex letter in the month
      // Wrong lengths.
      {"071224153000", 0, 0, 0, 0, 0, 0, "INVALID TIME STAMP"},
      {"0712241530004", 0, 0, 0, 0, 0, 0, "INVALID TIME STAMP"},
      {"071224153000400", 0, 0, 0, 0, 0, 0, "INVALID TIME STAMP"},
      {"", 0, 0, 0, 0, 0, 0, "INVALID TIME STAMP"},
  };
  for (const auto& c : cases) {
    TTimeStamp stamp(c.text);
    const double expected = c.y == 0 ? 0.0 : test::Serial(c.y, c.mo, c.d, c.h, c.mi, c.s);
    EXPECT_NEAR(stamp.GetDateTime(), expected, 1e-7) << c.text;
    EXPECT_EQ(stamp.TimeZone(), c.zone) << c.text;
    EXPECT_EQ(stamp.RawText(), c.text);
  }
}

// A set sign bit (TS 23.040: bit 3 of the zone octet, the first character
// after the swap being 8..F) is a zone west of Greenwich.
TEST(TimeStamp, SignBitGivesNegativeZone) {
  const struct {
    const char* zone;
    const char* text;
  } cases[] = {
      {"A0", "-5"},                              // -20 quarters, US Eastern
      {"96", "-4"},                              // -16 quarters
      {"B0", "-7"},                              // -30 quarters -> -7.5 h truncated
      {"80", "-0"}, {"83", "-0"}, {"8A", "-0"},  // second digit not decimal
      {"a0", "-5"},
  };
  for (const auto& c : cases) {
    TTimeStamp stamp(std::string("110228115050") + c.zone);
    EXPECT_EQ(stamp.TimeZone(), c.text) << c.zone;
    EXPECT_NEAR(stamp.GetDateTime(), test::Serial(2011, 2, 28, 11, 50, 50), 1e-7);
  }
}

// --- user data header ----------------------------------------------------------

struct HeaderCase {
  const char* text;
  const char* identifier;
  const char* length;
  const char* reference;
  int maximum, sequence;
  Lines lines;
};

TEST(UserDataHeader, DescribesPiecesPresent) {
  const HeaderCase cases[] = {
      {"00032A0201",
       "00",
       "03",
       "2A",
       2,
       1,
       {"  SM concatenation 8 bit ref", "  03 : Bytes information element", "  42 : SM Reference Number",
        "  Maximum messages : 2", "  Message sequence : 1"}},
      {"00030AFF10EEEE",
       "00",
       "03",
       "0A",
       255,
       16,  // characters from position 11 are not read
       {"  SM concatenation 8 bit ref", "  03 : Bytes information element", "  10 : SM Reference Number",
        "  Maximum messages : 255", "  Message sequence : 16"}},
      {"0003", "00", "03", "", 0, 0, {"  SM concatenation 8 bit ref", "  03 : Bytes information element"}},
      {"00032",
       "00",
       "03",
       "2",
       0,
       0,
       {"  SM concatenation 8 bit ref", "  03 : Bytes information element", "  2 : SM Reference Number"}},
      {"0", "0", "", "", 0, 0, {"  SM concatenation 8 bit ref"}},
      {"", "", "", "", 0, 0, {}},
  };
  for (const auto& c : cases) {
    TUserDataHeader header(c.text);
    EXPECT_EQ(header.ElementIdentifier(), c.identifier) << c.text;
    EXPECT_EQ(header.ElementLength(), c.length) << c.text;
    EXPECT_EQ(header.ReferenceNumber(), c.reference) << c.text;
    EXPECT_EQ(header.MaximumMessages(), c.maximum) << c.text;
    EXPECT_EQ(header.MessageSequence(), c.sequence) << c.text;
    EXPECT_EQ(header.Description(), c.lines) << c.text;
    EXPECT_EQ(header.GetHeaderText(), c.text);
  }
}

}  // namespace
}  // namespace vela

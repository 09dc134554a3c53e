// Unicode decoding of received PDUs and user data headers. Well-formed
// vectors were produced by an independent SMS library (multi-part DELIVERs of
// known texts); the hostile ones are cut or corrupted by hand.
#include <gtest/gtest.h>

#include <optional>

#include <string>
#include <vector>

#include "coding/reassembly.h"
#include "coding/text_coding.h"
#include "common/utf8.h"

namespace vela::coding {
namespace {

std::string Bytes(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out.push_back(static_cast<char>(v));
  return out;
}

WideString U(const std::string& utf8) { return WideFromUtf8(utf8); }

// --- User data header ----------------------------------------------------------

struct UdhCase {
  const char* name;
  std::string octets;
  size_t elements;
  bool malformed;
  std::optional<Concatenation> concat;
  int locking = 0, single = 0;
  std::optional<uint16_t> destination = std::nullopt, origin = std::nullopt;
};

TEST(UserDataHeader, ParsesElementsAndFlagsWhatRunsPastTheEnd) {
  const UdhCase cases[] = {
      {"empty", "", 0, false, std::nullopt},
      {"concat 8-bit", Bytes({0x00, 0x03, 0x2A, 0x03, 0x01}), 1, false, Concatenation{42, 3, 1, false}},
      {"concat 16-bit", Bytes({0x08, 0x04, 0x12, 0x34, 0x02, 0x02}), 1, false, Concatenation{0x1234, 2, 2, true}},
      {"shift tables", Bytes({0x24, 0x01, 0x01, 0x25, 0x01, 0x03}), 2, false, std::nullopt, 3, 1},
      {"16-bit ports", Bytes({0x05, 0x04, 0x0B, 0x84, 0x23, 0xF0}), 1, false, std::nullopt, 0, 0, 2948, 9200},
      {"8-bit ports", Bytes({0x04, 0x02, 0x10, 0x20}), 1, false, std::nullopt, 0, 0, 16, 32},
      {"unknown element kept", Bytes({0x70, 0x00, 0x00, 0x03, 0x01, 0x02, 0x01}), 2, false,
       Concatenation{1, 2, 1, false}},
      {"concat of wrong length left raw", Bytes({0x00, 0x02, 0x01, 0x02}), 1, false, std::nullopt},
      {"last occurrence wins", Bytes({0x00, 0x03, 0x01, 0x02, 0x01, 0x08, 0x04, 0x00, 0x07, 0x02, 0x02}), 2, false,
       Concatenation{7, 2, 2, true}},
      {"element past the end", Bytes({0x00, 0x03, 0x2A, 0x03, 0x01, 0x08, 0x04, 0x01}), 2, true,
       Concatenation{42, 3, 1, false}},
      {"lone IEI", Bytes({0x00}), 1, true, std::nullopt},
      {"cut concatenation not used", Bytes({0x00, 0x03, 0x2A, 0x03}), 1, true, std::nullopt},
  };
  for (const UdhCase& c : cases) {
    SCOPED_TRACE(c.name);
    const UserDataHeader h = ParseUserDataHeader(c.octets);
    EXPECT_EQ(h.elements.size(), c.elements);
    EXPECT_EQ(h.malformed, c.malformed);
    ASSERT_EQ(h.concatenation.has_value(), c.concat.has_value());
    if (c.concat) {
      EXPECT_EQ(h.concatenation->reference, c.concat->reference);
      EXPECT_EQ(h.concatenation->total, c.concat->total);
      EXPECT_EQ(h.concatenation->sequence, c.concat->sequence);
      EXPECT_EQ(h.concatenation->ref16, c.concat->ref16);
    }
    EXPECT_EQ(h.lockingLanguage, c.locking);
    EXPECT_EQ(h.singleLanguage, c.single);
    EXPECT_EQ(h.destinationPort, c.destination);
    EXPECT_EQ(h.originatorPort, c.origin);
    // Whatever could be read is kept raw: re-encoding a well-formed header
    // gives its octets back behind the length octet.
    if (!c.malformed) {
      EXPECT_EQ(EncodeUserDataHeader(h.elements), std::string(1, static_cast<char>(c.octets.size())) + c.octets);
    }
  }
}

TEST(UserDataHeader, PartialElementKeepsTheOctetsThatArrived) {
  const UserDataHeader h = ParseUserDataHeader(Bytes({0x00, 0x03, 0x2A, 0x03, 0x01, 0x08, 0x04, 0x01}));
  ASSERT_EQ(h.elements.size(), 2u);
  EXPECT_EQ(h.elements[1].iei, 0x08);
  EXPECT_EQ(h.elements[1].data, Bytes({0x01}));
}

TEST(UserDataHeader, EncodeRefusesElementsItsLengthOctetCannotHold) {
  EXPECT_THROW(EncodeUserDataHeader({UdhElement{0x70, std::string(256, 'x')}}), ETextCodingError);
  std::vector<UdhElement> many(100, UdhElement{0x70, "ab"});  // 400 octets
  EXPECT_THROW(EncodeUserDataHeader(many), ETextCodingError);
  EXPECT_EQ(EncodeUserDataHeader({}), std::string(1, '\0'));
}

// --- Septets to text ------------------------------------------------------------

TEST(SeptetsToUnicode, DefaultTablesAndEscapes) {
  struct Case {
    const char* name;
    std::string septets;
    WideString text;
  } cases[] = {
      {"letters", "Hello", u"Hello"},
      {"default alphabet specials", Bytes({0x00, 0x01, 0x02, 0x10, 0x1F, 0x24, 0x40, 0x5B, 0x7F}), u"@£$ΔÉ¤¡Äà"},
      {"extension characters", Bytes({0x1B, 0x65, 0x1B, 0x28, 0x1B, 0x29, 0x1B, 0x3C, 0x1B, 0x3E,
                                      0x1B, 0x14, 0x1B, 0x2F, 0x1B, 0x40, 0x1B, 0x3D, 0x1B, 0x0A}),
       u"€{}[]^\\|~\f"},
      {"code the extension lacks reads from the main table", Bytes({0x1B, 0x41}), u"A"},
      {"double escape shows a space", Bytes({'a', 0x1B, 0x1B, 'b'}), u"a b"},
      {"trailing escape gives nothing", Bytes({'a', 0x1B}), u"a"},
      {"high bit ignored", Bytes({0xC1}), u"A"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(SeptetsToUnicode(c.septets, 0, 0), c.text);
  }
  // An identifier without tables falls back to the default ones.
  EXPECT_EQ(SeptetsToUnicode(Bytes({0x1B, 0x65, 0x00}), 99, 99), u"€@");
  EXPECT_EQ(SeptetsToUnicode(Bytes({0x1B, 0x65, 0x00}), -1, -1), u"€@");
}

// --- Whole PDUs ---------------------------------------------------------------------

struct PduCase {
  const char* name;
  const char* pdu;
  int kind;
  const char* originator;
  Coding coding;
  const char* smscTime;
  WideString text;
  bool truncated;
  std::optional<Concatenation> concat = std::nullopt;
};

TEST(DecodePdu, ReadsEveryKindAndCodingAndSurvivesBadInput) {
  const PduCase cases[] = {
      {"7-bit, international originator",
       "07911326040000F0040B911346610089F60000208062917314080CC8F71D14969741F977FD07", 1, "+31641600986", Coding::kGsm7,
       "2002-08-26 19:37:41", u"How are you?", false},
      {"lower-case hex", "07911326040000f0040b911346610089f60000208062917314080cc8f71d14969741f977fd07", 1,
       "+31641600986", Coding::kGsm7, "2002-08-26 19:37:41", u"How are you?", false},
      {"national number, odd digits", "07915155000000F00005812143F500006221903040500002C834", 1, "12345", Coding::kGsm7,
       "2026-12-09 03:04:05", u"Hi", false},
      {"alphanumeric originator", "00040ED0D637396C7EBBCB00006221903040500002C834", 1, "Vodafone", Coding::kGsm7,
       "2026-12-09 03:04:05", u"Hi", false},
      {"reserved type of number read as alphanumeric, UTF-8", "00040EF0D637396C7EBBCB00006221903040500002C834", 1,
       "Vodafone", Coding::kGsm7, "2026-12-09 03:04:05", u"Hi", false},
      {"alphanumeric originator outside ASCII", "000404D0040900006221903040500002C834", 1, "èΦ", Coding::kGsm7,
       "2026-12-09 03:04:05", u"Hi", false},
      {"7-bit with header and fill bits, extension characters",
       "07915155000000F0400B915155214365F7000062219030405000670500032B0202361410B2CC66BF411BDEFD2D6793373ED00685DFA4409"
       "B"
       "1E6853066D28206499CD7E8336BCFB5BCE266F7CA00D0ABF4981363DD0A60CDA5040C8329BFD066D78F7B79C4DDEF8401B147E93026D7A"
       "A04D19B4A18000",
       1, "+15551234567", Coding::kGsm7, "2026-12-09 03:04:05",
       u"^ Hello [world] {x} ~ € ^ Hello [world] {x} ~ € ^ Hello [world] {x} ~ € ^ ", false,
       Concatenation{0x2B, 2, 2, false}},
      {"UCS2 with header, characters outside the BMP",
       "07915155000000F0400B915155214365F7000862219030405000700500032B02024F60597D0020D83DDE00D83DDC4DD83CDFFD00204F605"
       "9"
       "7D0020D83DDE00D83DDC4DD83CDFFD00204F60597D0020D83DDE00D83DDC4DD83CDFFD00204F60597D0020D83DDE00D83DDC4DD83CDFFD0"
       "0"
       "204F60597D0020D83DDE00D83DDC4DD83CDFFD00204F60597D0020",
       1, "+15551234567", Coding::kUcs2, "2026-12-09 03:04:05",
       U("你好 😀👍🏽 你好 😀👍🏽 你好 😀👍🏽 你好 😀👍🏽 你好 😀👍🏽 你好 "),
       false, Concatenation{0x2B, 2, 2, false}},
      {"8-bit UTF-8", "00040B915155214365F700046221903040500006C3A9E282AC41", 1, "+15551234567", Coding::kEightBit,
       "2026-12-09 03:04:05", u"é€A", false},
      {"8-bit not UTF-8 reads as Latin-1", "00040B915155214365F700046221903040500003FF41E9", 1, "+15551234567",
       Coding::kEightBit, "2026-12-09 03:04:05", u"ÿAé", false},
      {"SUBMIT, relative validity", "0011000B915155214365F70000AA02C834", 0, "+15551234567", Coding::kGsm7, "", u"Hi",
       false},
      {"SUBMIT, no validity", "0001000B915155214365F7000002C834", 0, "+15551234567", Coding::kGsm7, "", u"Hi", false},
      {"status report: no text", "0006D60B911326880736F4111011719551401110117195714000", 2, "+31628870634",
       Coding::kGsm7, "2011-01-11 17:59:15", u"", false},
      {"message waiting group, UCS2", "00040B915155214365F700E062219030405000020041", 1, "+15551234567", Coding::kUcs2,
       "2026-12-09 03:04:05", u"A", false},
      {"impossible time stamp",
       "00040B915155214365F7000062319030405000"
       "02C834",
       1, "+15551234567", Coding::kGsm7, "", u"Hi", false},
      // Hostile and cut PDUs.
      {"empty", "", -1, "", Coding::kGsm7, "", u"", true},
      {"not hex", "ZZ", -1, "", Coding::kGsm7, "", u"", true},
      {"service centre runs past the end", "0791", -1, "", Coding::kGsm7, "", u"", true},
      {"cut inside the originator", "07911326040000F0040B9113", 1, "", Coding::kGsm7, "", u"", true},
      {"cut before the user data length", "07911326040000F0040B911346610089F6000020806291731408", 1, "+31641600986",
       Coding::kGsm7, "2002-08-26 19:37:41", u"", true},
      {"cut inside 7-bit user data", "07911326040000F0040B911346610089F60000208062917314080CC8F71D1496", 1,
       "+31641600986", Coding::kGsm7, "2002-08-26 19:37:41", u"How a", true},
      {"garbage inside the user data ends it", "07911326040000F0040B911346610089F60000208062917314080CC8F71D14X69741",
       1, "+31641600986", Coding::kGsm7, "2002-08-26 19:37:41", u"How ", true},
      {"UCS2 odd last octet dropped", "00040B915155214365F700086221903040500003004100", 1, "+15551234567",
       Coding::kUcs2, "2026-12-09 03:04:05", u"A", true},
      {"header longer than the user data", "00440B915155214365F700086221903040500004090003", 1, "+15551234567",
       Coding::kUcs2, "2026-12-09 03:04:05", u"", true},
      {"7-bit header longer than the user data length", "00440B915155214365F7000062219030405000020500030A0201", 1,
       "+15551234567", Coding::kGsm7, "2026-12-09 03:04:05", u"", true},
      {"header element past the header's end, text still read",
       "00440B915155214365F70008622190304050000704000302010041", 1, "+15551234567", Coding::kUcs2,
       "2026-12-09 03:04:05", u"A", true},
      {"header flag without user data", "00440B915155214365F7000862219030405000", 1, "+15551234567", Coding::kUcs2,
       "2026-12-09 03:04:05", u"", true},
      {"reserved message type", "0003", -1, "", Coding::kGsm7, "", u"", false},
  };
  for (const PduCase& c : cases) {
    SCOPED_TRACE(c.name);
    const DecodedUserData d = DecodePdu(c.pdu);
    EXPECT_EQ(d.kind, c.kind);
    EXPECT_EQ(d.originator, c.originator);
    EXPECT_EQ(d.coding, c.coding);
    EXPECT_EQ(d.smscTime, c.smscTime);
    EXPECT_EQ(d.smscTime.empty(), d.smscDateTime == 0);
    EXPECT_EQ(Utf8FromWide(d.text), Utf8FromWide(c.text));
    EXPECT_EQ(d.truncated, c.truncated);
    ASSERT_EQ(d.header.concatenation.has_value(), c.concat.has_value());
    if (c.concat) {
      EXPECT_EQ(d.header.concatenation->reference, c.concat->reference);
      EXPECT_EQ(d.header.concatenation->total, c.concat->total);
      EXPECT_EQ(d.header.concatenation->sequence, c.concat->sequence);
      EXPECT_EQ(d.header.concatenation->ref16, c.concat->ref16);
    }
  }
}

// The two parts of one message give the text sent, through both codings
// and both reference widths.
TEST(DecodePdu, PartsOfAMessageJoinToTheText) {
  struct Case {
    const char* name;
    std::vector<const char*> pdus;
    std::string text;
    bool ref16;
  } cases[] = {
      {"7-bit, 8-bit reference",
       {"07915155000000F0400B915155214365F70000622190304050009F0500032B0201906536FB0DDAF0EE6F399BBCF1813628FC2605DAF440"
        "9B3268430121CB6CF61BB4E1DDDF723679E3036D50F84D0AB4E9813665D086024296D9EC3768C3BBBFE56CF2C607DAA0F09B1468D3036D"
        "CAA00D05842CB3D96FD086777FCBD9E48D0FB441E13729D0A607DA94411B0A085966B3DFA00DEFFE96B3C91B1F6883C26F52A04D0FB429"
        "8300",
        "07915155000000F0400B915155214365F7000062219030405000670500032B0202361410B2CC66BF411BDEFD2D6793373ED00685DFA440"
        "9B1E6853066D28206499CD7E8336BCFB5BCE266F7CA00D0ABF4981363DD0A60CDA5040C8329BFD066D78F7B79C4DDEF8401B147E93026D"
        "7AA04D19B4A18000"},
       [] {
         std::string s;
         for (int i = 0; i < 8; ++i) s += "Hello [world] {x} ~ € ^ ";
         return s;
       }(),
       false},
      {"7-bit, whole default alphabet, 16-bit reference",
       {"07915155000000F0400B915155214365F7000062219030405000A0060804022B020161F11810100C0805C30191502C180DC70312914C28"
        "15CB0593D1703A9E0F28241A914AA6132AA55AB15AAE172C269BD16AB61B2EA7DBF17ABE1F30281C128BC62332A95C329BCE27342A9D52"
        "ABD62B36ABDD72BBDE2F382C1E93CBE6333AAD5EB3DBEE373C2E9FD3EBF63B3EAFDFF3FBFE7F583C0604040342C1704024140B46C3F180"
        "4424",
        "07915155000000F0400B915155214365F700006221903040500074060804022B0202134AC572C164349C8EE7030A8946A492E9844AA956"
        "AC96EB058BC966B49AED86CBE976BC9EEF070C0A87C4A2F1884C2A97CCA6F3098D4AA7D4AAF58ACD6AB7DCAEF70B0E8BC7E4B2F98C4EAB"
        "D7ECB6FB0D8FCBE7F4BAFD8ECFEBF7FCBEFF0F"},
       [] {
         const std::string one =
             "abc@£$¥èéùìòÇ\nØø\rÅåΔ_ΦΓΛΩΠΨΣΘΞÆæßÉ !\"#¤%&'()*+,-./0123456789:;<=>?¡ABCDEFGHIJKLMNOPQRSTUVWXYZÄÖÑÜ§¿"
             "abcdefghijklmnopqrstuvwxyzäöñüà";
         return one + one;
       }(),
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WideString joined;
    for (size_t i = 0; i < c.pdus.size(); ++i) {
      const DecodedUserData d = DecodePdu(c.pdus[i]);
      EXPECT_FALSE(d.truncated);
      ASSERT_TRUE(d.header.concatenation);
      EXPECT_EQ(d.header.concatenation->sequence, i + 1);
      EXPECT_EQ(d.header.concatenation->total, c.pdus.size());
      EXPECT_EQ(d.header.concatenation->ref16, c.ref16);
      joined += d.text;
    }
    EXPECT_EQ(Utf8FromWide(joined), c.text);
  }
}

// Every prefix of real PDUs decodes without a fault and never claims to be
// whole; the text read from a prefix is a prefix of the whole text.
TEST(DecodePdu, EveryPrefixIsReadSafely) {
  const std::string pdus[] = {
      "07911326040000F0040B911346610089F60000208062917314080CC8F71D14969741F977FD07",
      "07915155000000F0400B915155214365F7000862219030405000700500032B02024F60597D0020D83DDE00D83DDC4DD83CDFFD0020",
      "0006D60B911326880736F4111011719551401110117195714000",
  };
  for (const std::string& pdu : pdus) {
    const DecodedUserData whole = DecodePdu(pdu);
    for (size_t n = 0; n < pdu.size(); ++n) {
      SCOPED_TRACE(pdu.substr(0, n));
      const DecodedUserData d = DecodePdu(pdu.substr(0, n));
      EXPECT_TRUE(d.truncated);
      EXPECT_EQ(whole.text.compare(0, d.text.size(), d.text), 0);
    }
  }
}

// Every character of every table goes out through the encoder with that
// language allowed and comes back through the decoder and the reassembler.
TEST(DecodePdu, EveryTableCharacterSurvivesTheRoundTrip) {
  for (int language = 0; language < kLanguageCount; ++language) {
    SCOPED_TRACE("language " + std::to_string(language));
    WideString text;
    for (const GsmTable* table : {LockingTable(language), ShiftTable(language)}) {
      if (!table) continue;
      for (int code = 0; code < 128; ++code) {
        if (table->code[code] != 0 && table->code[code] != 0x1B) text.push_back(table->code[code]);
      }
    }
    ASSERT_FALSE(text.empty());
    SubmitOptions options;
    options.destination = "+15551234567";
    options.coding = Coding::kGsm7;
    if (language != 0) options.languages = {language};
    options.reference = static_cast<uint16_t>(language);
    const SubmitMessage message = EncodeSubmitMessage(text, options);
    Reassembler reassembler;
    std::vector<AssembledMessage> out;
    for (const SubmitPart& part : message.parts) {
      const DecodedUserData d = DecodePdu(part.pdu);
      EXPECT_EQ(d.kind, 0);
      EXPECT_FALSE(d.truncated);
      EXPECT_EQ(d.header.lockingLanguage, message.lockingLanguage);
      EXPECT_EQ(d.header.singleLanguage, message.singleLanguage);
      ReceivedPart p;
      p.originator = d.originator;
      p.concatenation = d.header.concatenation;
      p.text = d.text;
      for (AssembledMessage& m : reassembler.Add(p, 0)) out.push_back(std::move(m));
    }
    ASSERT_EQ(out.size(), 1u);
    EXPECT_TRUE(out[0].complete);
    EXPECT_EQ(out[0].parts, static_cast<int>(message.parts.size()));
    EXPECT_EQ(Utf8FromWide(out[0].text), Utf8FromWide(text));
  }
}

// National tables selected by the header: the same septets read differently.
TEST(SeptetsToUnicode, HeaderTablesChangeTheReading) {
  const std::string septets = Bytes({0x47, 0x1B, 0x47, 0x1B, 0x69});
  EXPECT_EQ(SeptetsToUnicode(septets, 0, 0), u"GGi");  // no extension at 0x47/0x69: the main table's
  EXPECT_EQ(SeptetsToUnicode(septets, 0, kLanguageTurkish), u"GĞı");
  // Turkish locking table: 0x07 is ı instead of ì.
  EXPECT_EQ(SeptetsToUnicode(Bytes({0x07}), kLanguageTurkish, 0), u"ı");
  // Spanish has no locking table: the default one is used.
  EXPECT_EQ(SeptetsToUnicode(Bytes({0x07}), kLanguageSpanish, kLanguageSpanish), u"ì");
}

// Service codes and numbers with '*' / '#' keep those characters on the way
// back (semi-octets A and B), whatever the encoder cleaned from them.
TEST(DecodePdu, AddressesWithStarAndHash) {
  const struct {
    const char* destination;
    const char* decoded;
  } cases[] = {
      {"*100#", "*100#"},
      {"+49 (171) 123-4567", "+491711234567"},
      {"#31#0171", "#31#0171"},
      {"*#06#", "*#06#"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.destination);
    SubmitOptions options;
    options.destination = c.destination;
    const SubmitMessage message = EncodeSubmitMessage(u"hi", options);
    ASSERT_EQ(message.parts.size(), 1u);
    EXPECT_EQ(DecodePdu(message.parts[0].pdu).originator, c.decoded);
  }
}

// SMS-STATUS-REPORT as typed values (23.040 9.2.2.3): TP-MR, TP-RA, TP-SCTS,
// TP-DT and TP-ST; a report cut short keeps what it had.
TEST(DecodePdu, StatusReportGivesItsTypedFields) {
  const ByteString report = "00061A0D91947110325476F8622180710350406221807103904041";
  struct Case {
    ByteString pdu;
    std::optional<int> reference, status;
    ByteString recipient, scts, dt;
    bool truncated;
  } cases[] = {
      {report, 0x1A, 0x41, "+4917012345678", "2026-12-08 17:30:05", "2026-12-08 17:30:09", false},
      {report.substr(0, report.size() - 2), 0x1A, std::nullopt, "+4917012345678", "2026-12-08 17:30:05",
       "2026-12-08 17:30:09", true},
      {report.substr(0, 20), 0x1A, std::nullopt, "", "", "", true},
      {"0006", std::nullopt, std::nullopt, "", "", "", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pdu);
    const DecodedUserData d = DecodePdu(c.pdu);
    EXPECT_EQ(d.kind, 2);
    EXPECT_EQ(d.reference, c.reference);
    EXPECT_EQ(d.status, c.status);
    if (!c.recipient.empty()) EXPECT_EQ(d.originator, c.recipient);
    EXPECT_EQ(d.smscTime, c.scts);
    EXPECT_EQ(d.dischargeTime, c.dt);
    EXPECT_EQ(d.truncated, c.truncated);
    EXPECT_TRUE(d.text.empty());
  }
}

}  // namespace
}  // namespace vela::coding

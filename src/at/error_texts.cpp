// The meanings of +CMS ERROR and +CME ERROR numbers: 3GPP TS 27.005 3.2.5
// with the RP causes of TS 24.011 E.2 and the TP-FCS values of TS 23.040
// 9.2.3.22, and TS 27.007 9.2.
#include <string>

#include "at/at_protocol.h"

namespace vela::at {

namespace {

struct CodeText {
  int code;
  const char* text;
};

template <size_t N>
const char* Find(const CodeText (&table)[N], int code) {
  for (const CodeText& entry : table) {
    if (entry.code == code) return entry.text;
  }
  return nullptr;
}

}  // namespace

constexpr CodeText kCmsTexts[] = {
    // RP causes (TS 24.011 E.2), reported for a refused submit.
    {1, "unassigned (unallocated) number"},
    {8, "operator determined barring"},
    {10, "call barred"},
    {21, "short message transfer rejected"},
    {27, "destination out of order"},
    {28, "unidentified subscriber"},
    {29, "facility rejected"},
    {30, "unknown subscriber"},
    {38, "network out of order"},
    {41, "temporary failure"},
    {42, "congestion"},
    {47, "resources unavailable, unspecified"},
    {50, "requested facility not subscribed"},
    {69, "requested facility not implemented"},
    {81, "invalid short message transfer reference value"},
    {95, "invalid message, unspecified"},
    {96, "invalid mandatory information"},
    {97, "message type non-existent or not implemented"},
    {98, "message not compatible with short message protocol state"},
    {99, "information element non-existent or not implemented"},
    {111, "protocol error, unspecified"},
    {127, "interworking, unspecified"},
    // TP failure causes (TS 23.040 9.2.3.22).
    {0x80, "telematic interworking not supported"},
    {0x81, "short message type 0 not supported"},
    {0x82, "cannot replace short message"},
    {0x8F, "unspecified TP-PID error"},
    {0x90, "data coding scheme (alphabet) not supported"},
    {0x91, "message class not supported"},
    {0x9F, "unspecified TP-DCS error"},
    {0xA0, "command cannot be actioned"},
    {0xA1, "command unsupported"},
    {0xAF, "unspecified TP-command error"},
    {0xB0, "TPDU not supported"},
    {0xC0, "SC busy"},
    {0xC1, "no SC subscription"},
    {0xC2, "SC system failure"},
    {0xC3, "invalid SME address"},
    {0xC4, "destination SME barred"},
    {0xC5, "SM rejected-duplicate SM"},
    {0xC6, "TP-VPF not supported"},
    {0xC7, "TP-VP not supported"},
    {0xD0, "SIM SMS storage full"},
    {0xD1, "no SMS storage capability in SIM"},
    {0xD2, "error in MS"},
    {0xD3, "memory capacity exceeded"},
    {0xD4, "SIM application toolkit busy"},
    {0xD5, "SIM data download error"},
    {0xFF, "unspecified error cause"},
    // Errors of the ME or the network (TS 27.005 3.2.5).
    {300, "ME failure"},
    {301, "SMS service of ME reserved"},
    {302, "operation not allowed"},
    {303, "operation not supported"},
    {304, "invalid PDU mode parameter"},
    {305, "invalid text mode parameter"},
    {310, "SIM not inserted"},
    {311, "SIM PIN required"},
    {312, "PH-SIM PIN required"},
    {313, "SIM failure"},
    {314, "SIM busy"},
    {315, "SIM wrong"},
    {316, "SIM PUK required"},
    {317, "SIM PIN2 required"},
    {318, "SIM PUK2 required"},
    {320, "memory failure"},
    {321, "invalid memory index"},
    {322, "memory full"},
    {330, "SMSC address unknown"},
    {331, "no network service"},
    {332, "network timeout"},
    {340, "no +CNMA acknowledgement expected"},
    {500, "unknown error"},
};

ByteString CmsErrorText(int code) {
  if (const char* text = Find(kCmsTexts, code)) return text;
  if (code >= 0xE0 && code <= 0xFE) return "application-specific error " + std::to_string(code);
  if (code >= 512) return "manufacturer-specific error " + std::to_string(code);
  return "unknown error " + std::to_string(code);
}

constexpr CodeText kCmeTexts[] = {
    {0, "phone failure"},
    {1, "no connection to phone"},
    {2, "phone-adaptor link reserved"},
    {3, "operation not allowed"},
    {4, "operation not supported"},
    {5, "PH-SIM PIN required"},
    {6, "PH-FSIM PIN required"},
    {7, "PH-FSIM PUK required"},
    {10, "SIM not inserted"},
    {11, "SIM PIN required"},
    {12, "SIM PUK required"},
    {13, "SIM failure"},
    {14, "SIM busy"},
    {15, "SIM wrong"},
    {16, "incorrect password"},
    {17, "SIM PIN2 required"},
    {18, "SIM PUK2 required"},
    {20, "memory full"},
    {21, "invalid index"},
    {22, "not found"},
    {23, "memory failure"},
    {24, "text string too long"},
    {25, "invalid characters in text string"},
    {26, "dial string too long"},
    {27, "invalid characters in dial string"},
    {30, "no network service"},
    {31, "network timeout"},
    {32, "network not allowed - emergency calls only"},
    {40, "network personalisation PIN required"},
    {41, "network personalisation PUK required"},
    {42, "network subset personalisation PIN required"},
    {43, "network subset personalisation PUK required"},
    {44, "service provider personalisation PIN required"},
    {45, "service provider personalisation PUK required"},
    {46, "corporate personalisation PIN required"},
    {47, "corporate personalisation PUK required"},
    {48, "hidden key required"},
    {49, "EAP method not supported"},
    {50, "incorrect parameters"},
    {51, "command implemented but currently disabled"},
    {52, "command aborted by user"},
    {53, "not attached to network due to MT functionality restrictions"},
    {54, "modem not allowed - MT restricted to emergency calls only"},
    {55, "operation not allowed because of MT functionality restrictions"},
    {56, "fixed dial number only allowed"},
    {57, "temporarily out of service due to other MT usage"},
    {58, "language/alphabet not supported"},
    {59, "unexpected data value"},
    {60, "system failure"},
    {61, "data missing"},
    {62, "call barred"},
    {63, "message waiting indication subscription failure"},
    {100, "unknown"},
    {103, "illegal MS"},
    {106, "illegal ME"},
    {107, "GPRS services not allowed"},
    {111, "PLMN not allowed"},
    {112, "location area not allowed"},
    {113, "roaming not allowed in this location area"},
    {132, "service option not supported"},
    {133, "requested service option not subscribed"},
    {134, "service option temporarily out of order"},
    {148, "unspecified GPRS error"},
    {149, "PDP authentication failure"},
    {150, "invalid mobile class"},
};

ByteString CmeErrorText(int code) {
  if (const char* text = Find(kCmeTexts, code)) return text;
  if (code >= 512) return "manufacturer-specific error " + std::to_string(code);
  return "unknown error " + std::to_string(code);
}

}  // namespace vela::at

// The meanings of +CMS ERROR and +CME ERROR numbers: 3GPP TS 27.005 3.2.5
// with the RP causes of TS 24.011 E.2 and the TP-FCS values of TS 23.040
// 9.2.3.22, and TS 27.007 9.2.
#include <string>

#include "at/at_protocol.h"

namespace vela::at {

ByteString CmsErrorText(int code) {
  switch (code) {
    // RP causes (TS 24.011 E.2), reported for a refused submit.
    case 1:
      return "unassigned (unallocated) number";
    case 8:
      return "operator determined barring";
    case 10:
      return "call barred";
    case 21:
      return "short message transfer rejected";
    case 27:
      return "destination out of order";
    case 28:
      return "unidentified subscriber";
    case 29:
      return "facility rejected";
    case 30:
      return "unknown subscriber";
    case 38:
      return "network out of order";
    case 41:
      return "temporary failure";
    case 42:
      return "congestion";
    case 47:
      return "resources unavailable, unspecified";
    case 50:
      return "requested facility not subscribed";
    case 69:
      return "requested facility not implemented";
    case 81:
      return "invalid short message transfer reference value";
    case 95:
      return "invalid message, unspecified";
    case 96:
      return "invalid mandatory information";
    case 97:
      return "message type non-existent or not implemented";
    case 98:
      return "message not compatible with short message protocol state";
    case 99:
      return "information element non-existent or not implemented";
    case 111:
      return "protocol error, unspecified";
    case 127:
      return "interworking, unspecified";
    // TP failure causes (TS 23.040 9.2.3.22).
    case 0x80:
      return "telematic interworking not supported";
    case 0x81:
      return "short message type 0 not supported";
    case 0x82:
      return "cannot replace short message";
    case 0x8F:
      return "unspecified TP-PID error";
    case 0x90:
      return "data coding scheme (alphabet) not supported";
    case 0x91:
      return "message class not supported";
    case 0x9F:
      return "unspecified TP-DCS error";
    case 0xA0:
      return "command cannot be actioned";
    case 0xA1:
      return "command unsupported";
    case 0xAF:
      return "unspecified TP-command error";
    case 0xB0:
      return "TPDU not supported";
    case 0xC0:
      return "SC busy";
    case 0xC1:
      return "no SC subscription";
    case 0xC2:
      return "SC system failure";
    case 0xC3:
      return "invalid SME address";
    case 0xC4:
      return "destination SME barred";
    case 0xC5:
      return "SM rejected-duplicate SM";
    case 0xC6:
      return "TP-VPF not supported";
    case 0xC7:
      return "TP-VP not supported";
    case 0xD0:
      return "SIM SMS storage full";
    case 0xD1:
      return "no SMS storage capability in SIM";
    case 0xD2:
      return "error in MS";
    case 0xD3:
      return "memory capacity exceeded";
    case 0xD4:
      return "SIM application toolkit busy";
    case 0xD5:
      return "SIM data download error";
    case 0xFF:
      return "unspecified error cause";
    // Errors of the ME or the network (TS 27.005 3.2.5).
    case 300:
      return "ME failure";
    case 301:
      return "SMS service of ME reserved";
    case 302:
      return "operation not allowed";
    case 303:
      return "operation not supported";
    case 304:
      return "invalid PDU mode parameter";
    case 305:
      return "invalid text mode parameter";
    case 310:
      return "SIM not inserted";
    case 311:
      return "SIM PIN required";
    case 312:
      return "PH-SIM PIN required";
    case 313:
      return "SIM failure";
    case 314:
      return "SIM busy";
    case 315:
      return "SIM wrong";
    case 316:
      return "SIM PUK required";
    case 317:
      return "SIM PIN2 required";
    case 318:
      return "SIM PUK2 required";
    case 320:
      return "memory failure";
    case 321:
      return "invalid memory index";
    case 322:
      return "memory full";
    case 330:
      return "SMSC address unknown";
    case 331:
      return "no network service";
    case 332:
      return "network timeout";
    case 340:
      return "no +CNMA acknowledgement expected";
    case 500:
      return "unknown error";
    default:
      break;
  }
  if (code >= 0xE0 && code <= 0xFE) return "application-specific error " + std::to_string(code);
  if (code >= 512) return "manufacturer-specific error " + std::to_string(code);
  return "unknown error " + std::to_string(code);
}

ByteString CmeErrorText(int code) {
  switch (code) {
    case 0:
      return "phone failure";
    case 1:
      return "no connection to phone";
    case 2:
      return "phone-adaptor link reserved";
    case 3:
      return "operation not allowed";
    case 4:
      return "operation not supported";
    case 5:
      return "PH-SIM PIN required";
    case 6:
      return "PH-FSIM PIN required";
    case 7:
      return "PH-FSIM PUK required";
    case 10:
      return "SIM not inserted";
    case 11:
      return "SIM PIN required";
    case 12:
      return "SIM PUK required";
    case 13:
      return "SIM failure";
    case 14:
      return "SIM busy";
    case 15:
      return "SIM wrong";
    case 16:
      return "incorrect password";
    case 17:
      return "SIM PIN2 required";
    case 18:
      return "SIM PUK2 required";
    case 20:
      return "memory full";
    case 21:
      return "invalid index";
    case 22:
      return "not found";
    case 23:
      return "memory failure";
    case 24:
      return "text string too long";
    case 25:
      return "invalid characters in text string";
    case 26:
      return "dial string too long";
    case 27:
      return "invalid characters in dial string";
    case 30:
      return "no network service";
    case 31:
      return "network timeout";
    case 32:
      return "network not allowed - emergency calls only";
    case 40:
      return "network personalisation PIN required";
    case 41:
      return "network personalisation PUK required";
    case 42:
      return "network subset personalisation PIN required";
    case 43:
      return "network subset personalisation PUK required";
    case 44:
      return "service provider personalisation PIN required";
    case 45:
      return "service provider personalisation PUK required";
    case 46:
      return "corporate personalisation PIN required";
    case 47:
      return "corporate personalisation PUK required";
    case 48:
      return "hidden key required";
    case 49:
      return "EAP method not supported";
    case 50:
      return "incorrect parameters";
    case 51:
      return "command implemented but currently disabled";
    case 52:
      return "command aborted by user";
    case 53:
      return "not attached to network due to MT functionality restrictions";
    case 54:
      return "modem not allowed - MT restricted to emergency calls only";
    case 55:
      return "operation not allowed because of MT functionality restrictions";
    case 56:
      return "fixed dial number only allowed";
    case 57:
      return "temporarily out of service due to other MT usage";
    case 58:
      return "language/alphabet not supported";
    case 59:
      return "unexpected data value";
    case 60:
      return "system failure";
    case 61:
      return "data missing";
    case 62:
      return "call barred";
    case 63:
      return "message waiting indication subscription failure";
    case 100:
      return "unknown";
    case 103:
      return "illegal MS";
    case 106:
      return "illegal ME";
    case 107:
      return "GPRS services not allowed";
    case 111:
      return "PLMN not allowed";
    case 112:
      return "location area not allowed";
    case 113:
      return "roaming not allowed in this location area";
    case 132:
      return "service option not supported";
    case 133:
      return "requested service option not subscribed";
    case 134:
      return "service option temporarily out of order";
    case 148:
      return "unspecified GPRS error";
    case 149:
      return "PDP authentication failure";
    case 150:
      return "invalid mobile class";
    default:
      break;
  }
  if (code >= 512) return "manufacturer-specific error " + std::to_string(code);
  return "unknown error " + std::to_string(code);
}

}  // namespace vela::at

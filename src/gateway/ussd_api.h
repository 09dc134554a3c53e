// POST /v1/modems/NAME/ussd {"code": "*100#"} or {"reply": "1"}: USSD on one
// modem of the gateway, answered with the network's {"status", "text"}.
#pragma once

namespace httplib {
class Server;
}

namespace vela::gateway {

class ModemDirectory;

// 200 {"status": 0|1|2, "text": ...}; errors as {"error": ...}: 400 bad body,
// 404 unknown modem, 409 a reply with no session waiting, 502 refused by the
// modem or the network (+CUSD: 3/4), 503 modem not up, 504 no answer in time.
void AddUssdRoute(httplib::Server& server, ModemDirectory& modems);

}  // namespace vela::gateway

// Endpoints the web console brought to the API (any client may use them):
//   POST /v1/preview {"text", "languages", "coding", "modem"}: what sending
//        the text would cost (see text_preview.h), beside "max_parts";
//   GET  /v1/search?q=WORDS&limit=N: {"sent": [...], "received": [...]},
//        newest first (see search.h).
#pragma once

#include "gateway/service.h"
#include "gateway/store.h"

namespace httplib {
class Server;
}

namespace vela::gateway {

void RegisterConsoleApi(httplib::Server& server, Store& store, ModemDirectory& modems, int maxParts);

}  // namespace vela::gateway

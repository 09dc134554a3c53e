// The JSON form of the store's records, shared by the HTTP API, the event
// log and the receive hook, so that a record looks the same wherever it shows.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "gateway/store.h"

namespace vela::gateway {

// Compact JSON text; invalid UTF-8 in strings becomes U+FFFD instead of an
// exception (error texts may quote the bytes a client sent).
std::string DumpJson(const nlohmann::json& value);

// Unix milliseconds as "YYYY-MM-DDThh:mm:ss.mmmZ" (UTC); null for 0.
nlohmann::json TimeJson(int64_t unixMs);

// {"id","to","text","report","modem","status","attempts","error","parts",
//  "references","created_at","updated_at","sent_at"} ("modem" is the one that
// took it, else the one asked for, else null).
nlohmann::json MessageJson(const OutgoingMessage& message);
// DumpJson(MessageJson(message)), byte for byte, written directly: the event
// every queued message gets, so it is on the path of each POST.
std::string MessageJsonText(const OutgoingMessage& message);

// An RFC 3339 date and time ("2026-12-09T10:00:00Z", "...T11:00:00.5+01:00")
// in Unix milliseconds; nullopt when it is not one.
std::optional<int64_t> ParseTime(const std::string& text);
// {"id","modem","from","text","smsc_time","parts","complete","received_at"}
nlohmann::json ReceivedJson(const ReceivedMessage& message);

}  // namespace vela::gateway

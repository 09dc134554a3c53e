// Prometheus Alertmanager's webhook receiver: each notification (payload
// version 4) becomes one short SMS per number, "FIRING 2: HighCPU (host1,
// host2)", always one part in the GSM 7-bit default alphabet, and a group
// repeated with the same status within a window is not sent again.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace httplib {
class Server;
}

namespace vela::gateway {

class Store;
class ModemDirectory;
class EventNotifier;

// A request the receiver refuses: HTTP status and message.
struct AlertError : std::runtime_error {
  AlertError(int code, const std::string& text) : std::runtime_error(text), status(code) {}
  int status;
};

struct AlertNotification {
  std::string status;  // "firing" or "resolved"
  std::string groupKey;
  std::string alertname;               // commonLabels.alertname, else the first alert's
  int count = 0;                       // alerts with that status
  std::vector<std::string> instances;  // their distinct "instance" labels, in order
};

// The notification in an Alertmanager webhook body. AlertError 400 for a body
// that is no JSON object, 422 for another payload version, an unknown status
// or no alert with the notification's status.
AlertNotification ParseAlertPayload(const std::string& body);

// The text: "<STATUS> <count>: <alertname>[ (<instances>)]", at most 160
// septets. Characters outside the default alphabet and its extension table
// become '?', control characters a blank, so no label forces UCS2. When too
// long, trailing instances give way to "+N more", then the name is cut ("...").
std::string AlertText(const AlertNotification& notification);

// UTF-8 text restricted to the GSM 7-bit default alphabet and its extension
// table as above; GsmSeptets counts its septets (extension characters two).
std::string GsmOnly(const std::string& utf8);
int GsmSeptets(const std::string& gsmOnlyUtf8);

// The "to" query parameter: numbers separated by commas, each normalised. A
// leading blank is read as '+': form decoding turns an unencoded '+' into one.
// Duplicates are dropped. AlertError 400 (none given) or 422 (a bad number).
std::vector<std::string> ParseAlertNumbers(const std::string& to);

// Repeat suppression. A notification is suppressed when the last one sent
// for the same group (and numbers) had the same status and was sent less
// than the window ago; a change of status always goes out, so a group that
// fires again right after it resolved is not hidden. Thread-safe.
class AlertRepeats {
 public:
  explicit AlertRepeats(int64_t windowMs) : windowMs_(windowMs) {}
  // True: suppress. False: send, and it is recorded as sent at `nowMs`.
  bool Suppress(const std::string& key, const std::string& status, int64_t nowMs);
  // A recorded notification that could not be queued after all.
  void Forget(const std::string& key, const std::string& status, int64_t sentMs);

 private:
  struct Last {
    std::string status;
    int64_t sentMs = 0;
  };
  std::mutex mutex_;
  int64_t windowMs_;
  std::map<std::string, Last> last_;
};

struct AlertSettings {
  int repeatMinutes = 10;  // --alert-repeat-minutes
};

// POST /v1/alertmanager?to=NUMBER[,NUMBER...][&resolved=true|false][&modem=NAME]:
// 202 {"ids": [...], "text": ...}; 200 {"suppressed": true, "reason": ...}
// for a repeat (or a resolved notification with resolved=false). Errors are
// JSON {"error": ...}. The bearer token is checked before routing.
void AddAlertmanagerRoute(httplib::Server& server, Store& store, ModemDirectory& modems, EventNotifier& events,
                          const AlertSettings& settings);

}  // namespace vela::gateway

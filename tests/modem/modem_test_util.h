// Helpers shared by the modem driver tests: dispatching the test thread's
// messages while waiting, and recording the driver's events.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "common/types.h"
#include "modem/vuz_vela.h"
#include "platform/message_target.h"
#include "pump.h"

namespace vela::test {

using test::PumpFor;
using test::PumpUntil;

struct Received {
  ByteString originator;
  ByteString text;
  DateTime serviceCentreTime = 0;
};

struct Report {
  ByteString reference;
  bool delivered = false;
  DateTime serviceCentreTime = 0;
  DateTime dischargeTime = 0;
};

// Records every event of one driver.
struct EventLog {
  std::vector<Received> received;
  std::vector<Report> reports;

  void Attach(TVuZVela& driver) {
    driver.OnReceiveMessage = [this](const ByteString& originator, const ByteString& text, DateTime time) {
      received.push_back({originator, text, time});
    };
    driver.OnDeliveryReport = [this](const ByteString& reference, bool delivered, DateTime scts, DateTime dt) {
      reports.push_back({reference, delivered, scts, dt});
    };
  }
};

}  // namespace vela::test

// Opening a modem: the initialisation script (reset, echo, identity), the
// SIM PIN, and the message service with its routing choice: indications
// routed to the line (service 1, +CMT / +CDS acknowledged with AT+CNMA) or,
// where the modem refuses that or the host asks for it, storage routing
// (service 0, +CMTI / +CDSI). Remembers a PIN the SIM refused so that it is
// never entered twice. Used on the driver's thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include "at/at_protocol.h"
#include "common/types.h"
#include "modem/command_session.h"

namespace vela::modem {

class Opening {
 public:
  explicit Opening(CommandSession& session) : session_(session) {}

  // Called before each step of the script (1..8).
  std::function<void(int step, const char* description)> onStep;
  // Called when the message service has been set up (not when it was ready
  // already): `storage` tells which routing was chosen.
  std::function<void(bool storage)> onServiceSetUp;
  // The pause between the attempts to set up the message service after the
  // PIN was entered (a SIM just unlocked may refuse it for a while).
  std::function<void(uint32_t ms)> pause;

  // The whole script; false with the text of the failing step and the
  // modem's error, if any.
  bool Run(const ByteString& pin, bool storageRequested, ByteString& errorText, std::optional<at::ModemError>& detail);
  // +CPIN?, and the PIN where the SIM asks for it. `pinEntered`: the SIM
  // asked. `detail`: why it failed (PUK, refusal, no answer).
  bool CheckPin(const ByteString& pin, bool& pinEntered, ByteString& detail);
  // PDU mode and the message service; once it succeeded, later calls do nothing.
  bool SetupService(bool storageRequested, ByteString& errorText, std::optional<at::ModemError>& detail);
  // Service 0 and storage routing. `refused`: the error that made the driver
  // fall back to it, kept as the session's last error.
  bool SetupStorageRouting(ByteString& errorText, std::optional<at::ModemError>& detail,
                           std::optional<at::ModemError> refused);
  // The device went away and comes back reset: set everything up again.
  void Forget() { serviceReady_ = storageRouting_ = false; }

  bool ServiceReady() const { return serviceReady_; }
  bool StorageRouting() const { return storageRouting_; }
  bool PinRefused(const ByteString& pin) const { return !refusedPin_.empty() && refusedPin_ == pin; }
  const ByteString& Manufacturer() const { return manufacturer_; }
  const ByteString& Model() const { return model_; }
  const ByteString& Serial() const { return serial_; }

 private:
  CommandSession& session_;
  ByteString manufacturer_, model_, serial_;
  ByteString refusedPin_;
  ByteString refusedPinError_;  // how the SIM refused refusedPin_
  bool serviceReady_ = false;
  bool storageRouting_ = false;
};

}  // namespace vela::modem

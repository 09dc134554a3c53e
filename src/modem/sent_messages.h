// Messages sent as whole texts, and the matching of status reports to their
// parts: a report names its part by TP-MR (3GPP TS 23.040 9.2.3.6), which the
// modem assigns modulo 256, so the most recent part sent with a reference is
// the one a report with it belongs to.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "common/types.h"

namespace vela::modem {

// A sent message's delivery state, once its parts' reports come in.
struct SentMessage {
  ByteString messageId;
  std::vector<ByteString> references;  // decimal
  std::vector<int> partStatus;         // per part: -1 no report yet, -2 never sent (refused),
                                       // else the last TP-ST
  // true when every part was delivered (TP-ST 0x00..0x1F), false when every
  // part has a final report and one failed (0x40 and above) or was never
  // sent; nullopt while a part has no report or only a temporary one
  // (0x20..0x3F: still trying).
  std::optional<bool> Delivered() const;
};

class SentMessages {
 public:
  static constexpr size_t kHistory = 1024;

  // Records a message of `parts` parts whose first references.size() parts
  // went out; returns its identifier ("M<n>").
  ByteString Record(const std::vector<ByteString>& references, int parts);
  // A report with TP-MR `reference` and TP-ST `status`: updates the part it
  // belongs to and returns that message's serial (0: none).
  uint64_t ApplyReport(int reference, int status);
  // The message of `serial`, while it is in the history.
  SentMessage* Find(uint64_t serial);
  const SentMessage* ForReference(int reference) const;
  // The first time a message's state is final: true, and never again.
  bool Announce(uint64_t serial);

 private:
  struct Record_ {
    uint64_t serial = 0;
    SentMessage message;
    bool announced = false;
  };
  struct Slot {
    uint64_t serial = 0;  // 0: none
    size_t part = 0;
  };
  const Record_* Lookup(uint64_t serial) const;

  uint64_t serial_ = 0;
  std::deque<Record_> sent_;  // most recent last, bounded
  Slot slots_[256];           // reference modulo 256 -> the most recent part sent with it
};

}  // namespace vela::modem

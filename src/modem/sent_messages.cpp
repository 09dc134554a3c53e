#include "modem/sent_messages.h"

#include <cstdlib>
#include <string>

namespace vela::modem {

std::optional<bool> SentMessage::Delivered() const {
  bool allDelivered = true;
  for (int status : partStatus) {
    if (status == -1) return std::nullopt;
    if (status == -2) {
      allDelivered = false;
      continue;
    }
    if (status >= 0x20 && status < 0x40) return std::nullopt;  // the centre is still trying
    if (status >= 0x20) allDelivered = false;
  }
  return allDelivered;
}

ByteString SentMessages::Record(const std::vector<ByteString>& references, int parts) {
  Record_ record;
  record.serial = ++serial_;
  record.message.messageId = "M" + std::to_string(record.serial);
  record.message.references = references;
  record.message.partStatus.assign(static_cast<size_t>(parts), -2);
  for (size_t i = 0; i < references.size() && i < record.message.partStatus.size(); ++i) {
    record.message.partStatus[i] = -1;
    const int reference = std::atoi(references[i].c_str());
    slots_[reference & 0xFF] = Slot{record.serial, i};
  }
  ByteString id = record.message.messageId;
  sent_.push_back(std::move(record));
  while (sent_.size() > kHistory) sent_.pop_front();
  return id;
}

const SentMessages::Record_* SentMessages::Lookup(uint64_t serial) const {
  if (serial == 0 || sent_.empty() || serial < sent_.front().serial) return nullptr;
  const size_t at = static_cast<size_t>(serial - sent_.front().serial);
  return at < sent_.size() ? &sent_[at] : nullptr;
}

SentMessage* SentMessages::Find(uint64_t serial) {
  const Record_* record = Lookup(serial);
  return record ? &const_cast<Record_*>(record)->message : nullptr;
}

uint64_t SentMessages::ApplyReport(int reference, int status) {
  if (reference < 0) return 0;
  const Slot& slot = slots_[reference & 0xFF];
  SentMessage* message = Find(slot.serial);
  if (!message) return 0;
  message->partStatus[slot.part] = status & 0xFF;
  return slot.serial;
}

const SentMessage* SentMessages::ForReference(int reference) const {
  if (reference < 0) return nullptr;
  const Record_* record = Lookup(slots_[reference & 0xFF].serial);
  return record ? &record->message : nullptr;
}

bool SentMessages::Announce(uint64_t serial) {
  auto* record = const_cast<Record_*>(Lookup(serial));
  if (!record || record->announced || !record->message.Delivered()) return false;
  record->announced = true;
  return true;
}

}  // namespace vela::modem

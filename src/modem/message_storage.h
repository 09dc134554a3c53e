// The modem's message storage (3GPP TS 27.005 +CPMS, +CMGL, +CMGR, +CMGD):
// which storage is read, listing, reading and deleting. Failures come back
// as the modem's error; the driver's façade turns them into exceptions.
#pragma once

#include <optional>
#include <vector>

#include "at/at_protocol.h"
#include "modem/command_session.h"

namespace vela::modem {

class MessageStorage {
 public:
  explicit MessageStorage(CommandSession& session) : session_(session) {}

  // The storage selected for reading and deleting; empty while unknown.
  const ByteString& ReadStorage() const { return read_; }
  // The modem was reset or reopened: its selection is unknown again.
  void Forget() { read_.clear(); }

  // Selects `storage` (AT+CPMS="<storage>"); nothing for an empty name.
  Result<bool> Select(const ByteString& storage);
  // As Select when `storage` is not selected yet; best effort.
  void Ensure(const ByteString& storage);
  // Every message of the storage (AT+CMGL=4), each marked with its storage.
  Result<std::vector<at::StoredMessage>> List(const ByteString& storage);
  // One message (AT+CMGR=<index>); nullopt when the index holds none
  // (+CMS ERROR: 321, invalid memory index, or an empty slot).
  Result<std::optional<at::StoredMessage>> Read(int index, const ByteString& storage);
  Result<bool> Delete(int index, const ByteString& storage);
  // Every message of the storage (AT+CMGD=1,4; where refused, one AT+CMGD
  // per listed index): how many were stored.
  Result<int> DeleteAll(const ByteString& storage);

  // For reception. The storage messages are read from, per AT+CPMS?.
  void LearnReadStorage();
  // Unread messages in the storage received ones go to (+CPMS <mem3>,
  // AT+CMGL=0); empty when the modem refuses.
  std::vector<at::StoredMessage> ListUnread();
  // The PDU at `index` of `storage`; nullopt when gone or unreadable.
  std::optional<ByteString> ReadPdu(const ByteString& storage, int index);
  // Deletes one part once it has been reported; true when the modem confirmed.
  bool DeletePart(const ByteString& storage, int index);

 private:
  CommandSession& session_;
  ByteString read_;
};

}  // namespace vela::modem

#include "modem/message_storage.h"

#include <string>

namespace vela::modem {
namespace {

constexpr uint32_t kSelectTimeoutMs = 25000;
constexpr uint32_t kStorageTimeoutMs = 30000;
constexpr int kInvalidMemoryIndex = 321;  // 27.005 3.2.5

}  // namespace

Result<bool> MessageStorage::Select(const ByteString& storage) {
  if (storage.empty()) return {};
  const CommandResult result = session_.Query("AT+CPMS=\"" + storage + "\"\r", kSelectTimeoutMs);
  if (result.error) return Result<bool>::Failed(*result.error);
  read_ = storage;
  return {true, std::nullopt};
}

void MessageStorage::Ensure(const ByteString& storage) {
  // Reading and deleting use the first storage of +CPMS.
  if (storage.empty() || storage == read_) return;
  const CommandResult result = session_.Query("AT+CPMS=\"" + storage + "\"\r", kSelectTimeoutMs);
  if (result.Confirmed()) read_ = storage;
}

void MessageStorage::LearnReadStorage() {
  if (auto current = at::ParseCpms(session_.Query("AT+CPMS?\r", kSelectTimeoutMs).response)) read_ = current->name;
}

Result<std::vector<at::StoredMessage>> MessageStorage::List(const ByteString& storage) {
  if (Result<bool> selected = Select(storage); !selected.Ok()) {
    return Result<std::vector<at::StoredMessage>>::Failed(*selected.error);
  }
  if (read_.empty()) LearnReadStorage();
  const CommandResult listing = session_.Query("AT+CMGL=4\r", kStorageTimeoutMs);
  if (listing.error) return Result<std::vector<at::StoredMessage>>::Failed(*listing.error);
  Result<std::vector<at::StoredMessage>> result;
  result.value = at::ParseCmgl(listing.response);
  for (at::StoredMessage& message : result.value) message.storage = read_;
  return result;
}

Result<std::optional<at::StoredMessage>> MessageStorage::Read(int index, const ByteString& storage) {
  using R = Result<std::optional<at::StoredMessage>>;
  if (Result<bool> selected = Select(storage); !selected.Ok()) return R::Failed(*selected.error);
  if (read_.empty()) LearnReadStorage();  // the modem's current choice (27.005 3.2.2), named in the result
  const CommandResult answer = session_.Query("AT+CMGR=" + std::to_string(index) + "\r", kStorageTimeoutMs);
  if (answer.error) {
    const bool empty = answer.error->kind == at::ModemError::Kind::kCms && answer.error->code == kInvalidMemoryIndex;
    return empty ? R{} : R::Failed(*answer.error);
  }
  R result;
  result.value = at::ParseCmgr(answer.response);
  if (result.value) {
    result.value->index = index;
    result.value->storage = storage.empty() ? read_ : storage;
  }
  return result;
}

Result<bool> MessageStorage::Delete(int index, const ByteString& storage) {
  if (Result<bool> selected = Select(storage); !selected.Ok()) return selected;
  const CommandResult result = session_.Query("AT+CMGD=" + std::to_string(index) + "\r", kSelectTimeoutMs);
  if (result.error) return Result<bool>::Failed(*result.error);
  return {true, std::nullopt};
}

Result<int> MessageStorage::DeleteAll(const ByteString& storage) {
  const Result<std::vector<at::StoredMessage>> stored = List(storage);
  if (!stored.Ok()) return Result<int>::Failed(*stored.error);
  const int count = static_cast<int>(stored.value.size());
  if (count == 0) return {0, std::nullopt};
  // <delflag> 4: every message of the storage (27.005 +CMGD).
  if (session_.Query("AT+CMGD=1,4\r", kStorageTimeoutMs).Ok()) return {count, std::nullopt};
  for (const at::StoredMessage& message : stored.value) {
    if (Result<bool> deleted = Delete(message.index, ByteString()); !deleted.Ok()) {
      return Result<int>::Failed(*deleted.error);
    }
  }
  return {count, std::nullopt};
}

std::vector<at::StoredMessage> MessageStorage::ListUnread() {
  // Messages the modem stored while routing was off are unread (27.005
  // <stat> 0) and in the storage received messages go to (+CPMS <mem3>);
  // listing them marks them read.
  const CommandResult cpms = session_.Query("AT+CPMS?\r", kSelectTimeoutMs);
  if (auto value = at::AnswerValue(cpms.response, "+CPMS")) {
    const std::vector<ByteString> fields = at::SplitFields(*value);
    if (!fields.empty()) read_ = at::Unquote(fields[0]);
    if (fields.size() >= 7) Ensure(at::Unquote(fields[6]));
  }
  const CommandResult listing = session_.Query("AT+CMGL=0\r", kStorageTimeoutMs);
  if (listing.error) return {};
  std::vector<at::StoredMessage> unread = at::ParseCmgl(listing.response);
  for (at::StoredMessage& message : unread) message.storage = read_;
  return unread;
}

std::optional<ByteString> MessageStorage::ReadPdu(const ByteString& storage, int index) {
  Ensure(storage);
  const CommandResult answer = session_.Query("AT+CMGR=" + std::to_string(index) + "\r", kStorageTimeoutMs);
  const std::optional<at::StoredMessage> read = at::ParseCmgr(answer.response);
  if (!read || read->pdu.empty()) return std::nullopt;
  return read->pdu;
}

bool MessageStorage::DeletePart(const ByteString& storage, int index) {
  if (index < 0) return false;
  Ensure(storage);
  return session_.Query("AT+CMGD=" + std::to_string(index) + "\r", kSelectTimeoutMs).Confirmed();
}

}  // namespace vela::modem

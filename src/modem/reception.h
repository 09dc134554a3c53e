// Reception's state and decisions, apart from the commands and events the
// driver runs on them: the queue of work in arrival order (indications
// routed to the line, stored messages indicated or listed, messages the
// reassembly released, routing repairs), the acknowledgement policy and the
// routing repair it leads to, the bookkeeping of stored parts, and the
// reassembly of long messages. Used on the driver's thread only.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <unordered_set>
#include <vector>

#include "at/at_protocol.h"
#include "coding/reassembly.h"
#include "common/types.h"
#include "modem/command_session.h"

namespace vela::modem {

class Reception {
 public:
  // One piece of work for the delivery loop.
  struct Work {
    enum class Type { kMessage, kReport, kStored, kStoredReport, kAssembled, kRepairRouting, kRegistration };
    Type type = Type::kMessage;
    bool report = false;   // kMessage / kReport: a +CDS: (status report) rather than a +CMT:
    ByteString pdu;        // routed PDU line; stored: the PDU when already read, else empty
    ByteString storage;    // stored: the storage it is in
    int index = -1;        // stored: its index
    uint32_t arrived = 0;  // tick count when the routed PDU line arrived
    bool keep = false;     // stored: left stored after reporting
    std::shared_ptr<coding::AssembledMessage> message;  // kAssembled
    ByteString registration;                            // kRegistration: "home", "roaming", ... (at::ParseRegistration)
  };

  // --- The queue -----------------------------------------------------------------
  // One line the modem sent unasked, at tick `now`: a routed header arms for
  // the PDU line after it, which becomes a kMessage / kReport; +CMTI / +CDSI
  // queue a stored message to read (while closed: after the next Open);
  // +CREG (AT+CREG=1 or 2) queues the new registration state.
  // Returns the kind of indication the line is when it is for another part
  // (+CUSD), else nullopt.
  std::optional<at::IndicationKind> TakeLine(const ByteString& line, bool open, uint32_t now);
  void Push(Work work) { ready_.push_back(std::move(work)); }
  bool Empty() const { return ready_.empty(); }
  size_t Size() const { return ready_.size(); }
  Work Pop();
  // A stored message listed by the driver (pdu read already).
  void QueueStored(const at::StoredMessage& entry, bool keep);
  // Messages the reassembly released (time-out, flush).
  void QueueAssembled(std::vector<coding::AssembledMessage> messages);
  // Stored work to read after the next Open (the device went away meanwhile).
  void ReadAfterOpen(Work work) { afterOpen_.push_back(std::move(work)); }

  // --- Port loss and Open ----------------------------------------------------------
  // The device went away: work that needs the modem waits for the next Open,
  // routed indications already read stay, repairs are dropped.
  void PortLost();
  // Open succeeded: stored work from before is read now, and stored parts
  // reported before are reported again by a new listing unless held in the
  // reassembly.
  void Opened();

  // --- Acknowledgement policy and routing repair -------------------------------------
  enum class AckOutcome { kDone, kRepair, kStorageRouting };
  // The modem's answer to the AT+CNMA of `work`, sent `late` (after the
  // deadline) or not: done; the routing is to be repaired (a repair queued);
  // or the modem does not acknowledge at all (storage routing instead).
  AckOutcome Acknowledged(const CommandResult& ack, const Work& work, bool late);
  // A new message service: nothing known of its acknowledgements yet.
  void ServiceSetUp(bool storage);
  // The repair runs: whether to send AT+CNMI again (at most 5 repairs
  // without a good acknowledgement), else give direct routing up.
  bool StartRepair();
  // A routed message reported but not acknowledged in time comes again:
  // true (and forgotten) when `pdu` is such a one.
  bool TakeRedelivery(const ByteString& pdu);

  // --- Stored parts ------------------------------------------------------------------
  uint64_t StorageTag(const ByteString& storage, int index);
  void TagPlace(uint64_t tag, ByteString& storage, int& index) const;
  // Reported before with this PDU and still stored: not again.
  bool AlreadyReported(uint64_t tag, const ByteString& pdu) const;
  void MarkReported(uint64_t tag, const ByteString& pdu) { reportedStored_[tag] = pdu; }
  // Still marked reported: its slot holds the PDU that was reported.
  bool Reported(uint64_t tag) const { return reportedStored_.count(tag) != 0; }
  // The message at `tag` was deleted (after its delivery, or by the host).
  void Deleted(uint64_t tag);
  // The host deleted stored messages: those of `storage` (empty: any) at
  // `index` (nullopt: all).
  void HostDeleted(const ByteString& storage, std::optional<int> index);
  void Hold(uint64_t tag) { heldParts_.insert(tag); }
  void Release(uint64_t tag) { heldParts_.erase(tag); }
  void MarkFailed(uint64_t tag) { failedParts_.insert(tag); }
  // Whether the part failed (or is kept); forgets it.
  bool TakeFailed(uint64_t tag) { return failedParts_.erase(tag) != 0; }

  // --- Reassembly --------------------------------------------------------------------
  // The reassembler, made with `settings` when none exists.
  coding::Reassembler& Reassembly(const coding::ReassemblyOptions& settings);
  // New settings take effect once no message is waiting for parts.
  void ApplySettings(const coding::ReassemblyOptions& settings);
  const coding::Reassembler* Reassembler() const { return reassembler_.get(); }

 private:
  // Slots emptied: queued work that read one of them before would deliver
  // that message again and then delete whatever the modem stored there
  // since, so it reads the slot again when it runs.
  void ReadAgain(const ByteString& storage, std::optional<int> index);

  std::optional<at::IndicationKind> pendingIndication_;
  std::deque<Work> ready_;
  std::deque<Work> afterOpen_;
  bool repairQueued_ = false;
  bool ackSucceeded_ = false;  // an AT+CNMA was answered OK in this session
  int repairsWithoutAck_ = 0;  // routing repairs since the last good AT+CNMA
  // Routed messages reported but not acknowledged in time, most recent last.
  std::deque<ByteString> unacknowledged_;
  std::vector<ByteString> storageNames_;  // tag -> storage name
  // Stored parts reported but not deleted: tag -> PDU.
  std::map<uint64_t, ByteString> reportedStored_;
  std::unordered_set<uint64_t> failedParts_;  // not to delete (callback failed, kept)
  std::unordered_set<uint64_t> heldParts_;    // waiting in the reassembly
  std::unique_ptr<coding::Reassembler> reassembler_;
  coding::ReassemblyOptions reassemblerOptions_;
};

}  // namespace vela::modem

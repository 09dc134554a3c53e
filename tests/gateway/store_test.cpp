// The SQLite store on real files: migrations, queue order and claims,
// recovery after an interrupted run, report matching, inbox duplicates.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include <nlohmann/json.hpp>

#include "gateway/sqlite_store.h"
#include "gateway_test_util.h"

namespace vela::gateway {
namespace {

OutgoingRequest Request(const std::string& to, const std::string& modem = "", const std::string& key = "") {
  OutgoingRequest r;
  r.to = to;
  r.text = "hello " + to;
  r.report = true;
  r.modem = modem;
  r.idempotencyKey = key;
  return r;
}

TEST(GatewayStore, CreatesSchemaAndKeepsDataAcrossReopen) {
  TempDir dir;
  const std::string path = dir.Path("g.db");
  int64_t id = 0;
  {
    SqliteStore store(path);
    EXPECT_EQ(store.SchemaVersion(), SqliteStore::kSchemaVersion);
    id = store.Enqueue(Request("+1555"), 1000).id;
  }
  SqliteStore again(path);
  auto m = again.GetMessage(id);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->status, status::kQueued);
  EXPECT_EQ(m->text, "hello +1555");
  // WAL mode is what lets readers go on while a worker commits.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(db, "PRAGMA journal_mode", -1, &st, nullptr);
  ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
  EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)), "wal");
  sqlite3_finalize(st);
  sqlite3_close(db);
}

// A database of the first schema: its queued messages get the longest
// validity period, new ones keep theirs.
TEST(GatewayStore, MigratesTheFirstSchemaAndKeepsTheValidity) {
  TempDir dir;
  const std::string path = dir.Path("g.db");
  {
    SqliteStore store(path);
    OutgoingRequest r = Request("+1555");
    r.validity = "12h";
    store.Enqueue(r, 1000);
  }
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(
        sqlite3_exec(db, "ALTER TABLE outgoing DROP COLUMN validity; PRAGMA user_version=1", nullptr, nullptr, nullptr),
        SQLITE_OK)
        << sqlite3_errmsg(db);
    sqlite3_close(db);
  }
  SqliteStore store(path);
  EXPECT_EQ(store.SchemaVersion(), SqliteStore::kSchemaVersion);
  ASSERT_TRUE(store.GetMessage(1));
  EXPECT_EQ(store.GetMessage(1)->validity, "max");
  OutgoingRequest r = Request("+1556");
  r.validity = "3d";
  EXPECT_EQ(store.GetMessage(store.Enqueue(r, 2000).id)->validity, "3d");
  EXPECT_EQ(store.GetMessage(store.Enqueue(Request("+1557"), 3000).id)->validity, "max");
}

// Every message, number and text is in these files.
TEST(GatewayStore, DatabaseFilesAreTheOwnersOnly) {
  TempDir dir;
  const std::string path = dir.Path("g.db");
  auto mode = [](const std::string& file) {
    struct stat st {};
    return ::stat(file.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 0777) : -1;
  };
  const mode_t previous = ::umask(022);
  {
    SqliteStore store(path);
    store.Enqueue(Request("+1555"), 1000);
    EXPECT_TRUE(store.Tightened().empty());
    for (const char* suffix : {"", "-wal", "-shm"}) EXPECT_EQ(mode(path + suffix), 0600) << suffix;
  }
  for (const char* suffix : {"", "-wal", "-shm"}) {
    const std::string file = path + suffix;
    if (mode(file) < 0) WriteFile(file, "");
    ::chmod(file.c_str(), suffix[0] ? 0666 : 0640);
  }
  {
    SqliteStore store(path);
    EXPECT_EQ(store.Tightened(), (std::vector<std::string>{path, path + "-wal", path + "-shm"}));
    for (const char* suffix : {"", "-wal", "-shm"}) EXPECT_EQ(mode(path + suffix), 0600) << suffix;
    ASSERT_TRUE(store.GetMessage(1));
  }
  SqliteStore again(path);
  EXPECT_TRUE(again.Tightened().empty());
  ::umask(previous);
}

TEST(GatewayStore, RefusesNewerSchemaAndNonDatabaseFilesNamingThem) {
  TempDir dir;
  const std::string newer = dir.Path("newer.db");
  {
    sqlite3* db = nullptr;
    sqlite3_open(newer.c_str(), &db);
    sqlite3_exec(db, "PRAGMA user_version=99", nullptr, nullptr, nullptr);
    sqlite3_close(db);
  }
  try {
    SqliteStore store(newer);
    FAIL() << "opened a newer schema";
  } catch (const StoreError& e) {
    EXPECT_NE(std::string(e.what()).find(newer), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("99"), std::string::npos) << e.what();
  }
  const std::string garbage = dir.Path("garbage.db");
  WriteFile(garbage, std::string(4096, 'x'));
  EXPECT_THROW(SqliteStore store(garbage), StoreError);
  EXPECT_THROW(SqliteStore store(dir.Path("missing/dir/g.db")), StoreError);
}

TEST(GatewayStore, IdempotencyKeyReturnsTheFirstMessage) {
  TempDir dir;
  SqliteStore store(dir.Path("g.db"));
  auto first = store.Enqueue(Request("+1", "", "k1"), 1);
  auto again = store.Enqueue(Request("+2", "", "k1"), 2);
  auto other = store.Enqueue(Request("+3", "", "k2"), 3);
  EXPECT_TRUE(first.created);
  EXPECT_FALSE(again.created);
  EXPECT_EQ(again.id, first.id);
  EXPECT_NE(other.id, first.id);
  EXPECT_EQ(store.ListMessages({}).size(), 2u);
}

TEST(GatewayStore, ClaimsInOrderPerModemAndHonoursBackoff) {
  TempDir dir;
  SqliteStore store(dir.Path("g.db"));
  const int64_t a1 = store.Enqueue(Request("+1", "a"), 1).id;
  const int64_t any = store.Enqueue(Request("+2"), 2).id;
  const int64_t b1 = store.Enqueue(Request("+3", "b"), 3).id;
  const int64_t a2 = store.Enqueue(Request("+4", "a"), 4).id;
  EXPECT_EQ(store.QueueLength("a"), 3);
  EXPECT_EQ(store.QueueLength("b"), 2);

  // Modem b takes its own after the shared one is gone; a never takes b's.
  EXPECT_EQ(store.ClaimNext("a", 10)->id, a1);
  EXPECT_EQ(store.ClaimNext("b", 10)->id, any);
  EXPECT_EQ(store.ClaimNext("b", 10)->id, b1);
  EXPECT_FALSE(store.ClaimNext("b", 10));
  auto m = store.GetMessage(a1);
  EXPECT_EQ(m->status, status::kSending);
  EXPECT_EQ(m->sentBy, "a");
  EXPECT_EQ(m->attempts, 1);

  // a1 fails transiently: due again at 5000; a2 goes first meanwhile.
  store.MarkRetry(a1, "+CMS ERROR: 42", 5000, 11);
  EXPECT_EQ(store.ClaimNext("a", 12)->id, a2);
  EXPECT_FALSE(store.ClaimNext("a", 4999));
  EXPECT_EQ(store.NextDue("a"), 5000);
  auto retried = store.ClaimNext("a", 5000);
  ASSERT_TRUE(retried);
  EXPECT_EQ(retried->id, a1);
  EXPECT_EQ(retried->attempts, 2);
  EXPECT_FALSE(store.NextDue("a"));
}

TEST(GatewayStore, CancelAndRetryOnlyFromTheirStates) {
  TempDir dir;
  SqliteStore store(dir.Path("g.db"));
  const int64_t id = store.Enqueue(Request("+1"), 1).id;
  EXPECT_EQ(store.RetryMessage(id, 2), ChangeResult::kWrongState);
  store.ClaimNext("a", 3);
  EXPECT_EQ(store.CancelMessage(id, 4), ChangeResult::kWrongState);
  EXPECT_EQ(store.CancelMessage(999, 4), ChangeResult::kNotFound);
  EXPECT_EQ(store.RecoverInterrupted(5), 1);
  EXPECT_EQ(store.GetMessage(id)->status, status::kUnknown);
  // An unknown message is not taken again until asked.
  EXPECT_FALSE(store.ClaimNext("a", 6));
  EXPECT_EQ(store.RetryMessage(id, 7), ChangeResult::kDone);
  EXPECT_EQ(store.GetMessage(id)->attempts, 0);
  EXPECT_EQ(store.CancelMessage(id, 8), ChangeResult::kDone);
  EXPECT_EQ(store.GetMessage(id)->status, status::kCancelled);
  EXPECT_FALSE(store.ClaimNext("a", 9));
}

TEST(GatewayStore, ReportsMatchPartsAndTheMostRecentUseOfAReference) {
  TempDir dir;
  SqliteStore store(dir.Path("g.db"));
  // Two messages that got the same reference 7 (256 sends apart), then a two-part one.
  const int64_t old = store.Enqueue(Request("+1"), 1).id;
  store.ClaimNext("a", 1);
  store.MarkSent(old, {"7"}, 100);
  const int64_t recent = store.Enqueue(Request("+2"), 2).id;
  store.ClaimNext("a", 2);
  store.MarkSent(recent, {"263"}, 200);  // 263 mod 256 = 7
  const int64_t multi = store.Enqueue(Request("+3"), 3).id;
  store.ClaimNext("a", 3);
  store.MarkSent(multi, {"8", "9"}, 300);

  struct Case {
    std::string modem;
    int reference;
    int tpStatus;
    int64_t message;
    std::string status;  // final status it leads to, "" while parts wait
  } cases[] = {
      {"a", 7, 0x00, recent, status::kDelivered},
      {"a", 7, 0x41, old, status::kNotDelivered},  // recent has its report: the older one is next
      {"b", 8, 0x00, 0, ""},                       // other modem: no match
      {"a", 9, 0x01, multi, ""},                   // 0x01: forwarded, delivered
      {"a", 8, 0x20, multi, ""},                   // still trying: not final
      {"a", 8, 0x61, multi, status::kNotDelivered},
  };
  for (const Case& c : cases) {
    ReportMatch m = store.RecordReport(ReportRecord{c.modem, c.reference, c.tpStatus, "", ""}, 400);
    EXPECT_EQ(m.messageId, c.message) << c.modem << " " << c.reference;
    EXPECT_EQ(m.newStatus, c.status) << c.modem << " " << c.reference;
  }
  auto m = store.GetMessage(multi);
  EXPECT_EQ(m->status, status::kNotDelivered);
  EXPECT_EQ(m->partStatus, (std::vector<int>{1, 0}));
  EXPECT_EQ(m->references, (std::vector<std::string>{"8", "9"}));
}

TEST(GatewayStore, InboxStoresARepeatedMessageOnceAndDropsItsParts) {
  TempDir dir;
  SqliteStore store(dir.Path("g.db"));
  const int64_t p1 = *store.AddPendingPart("a", "PDU1", "f1", 1);
  const int64_t p2 = *store.AddPendingPart("a", "PDU2", "f2", 2);
  store.AddPendingPart("b", "PDU3", "f3", 3);
  EXPECT_FALSE(store.AddPendingPart("a", "PDU1", "f1", 4));  // the same part again
  EXPECT_EQ(store.PendingParts("a").size(), 2u);

  ReceivedMessage msg;
  msg.modem = "a";
  msg.originator = "+4912";
  msg.text = "two parts";
  msg.smscTime = "2026-12-09 01:02:03";
  msg.reference = 17;
  msg.parts = 2;
  auto id = store.AddReceived(msg, {p1, p2}, true, 10);
  ASSERT_TRUE(id);
  EXPECT_TRUE(store.PendingParts("a").empty());
  EXPECT_EQ(store.PendingParts("b").size(), 1u);

  // A part of the whole message delivered again: recognised at once.
  EXPECT_FALSE(store.AddPendingPart("a", "PDU2", "f2", 11));
  // The whole message again under other part fingerprints (e.g. through the
  // other modem): recognised when whole.
  const int64_t again = *store.AddPendingPart("b", "PDU1", "f1-b", 11);
  msg.modem = "b";
  EXPECT_FALSE(store.AddReceived(msg, {again}, true, 12));
  EXPECT_EQ(store.PendingParts("b").size(), 1u);  // the repeat's part is done all the same
  // Different text or time: another message.
  msg.text = "other";
  EXPECT_TRUE(store.AddReceived(msg, {}, false, 13));

  auto inbox = store.ListInbox(0, 10);
  ASSERT_EQ(inbox.size(), 2u);
  EXPECT_EQ(inbox[0].text, "two parts");
  EXPECT_EQ(store.ListInbox(*id, 10).size(), 1u);
  // Only the first asked for the hook; a failed run is due again later.
  auto job = store.NextHookJob(20);
  ASSERT_TRUE(job);
  EXPECT_EQ(job->id, *id);
  store.MarkHook(*id, false, 500);
  EXPECT_FALSE(store.NextHookJob(499));
  EXPECT_EQ(store.NextHookDue(), 500);
  EXPECT_EQ(store.NextHookJob(500)->hookAttempts, 1);
  store.MarkHook(*id, true, 0);
  EXPECT_FALSE(store.NextHookDue());
  EXPECT_TRUE(store.DeleteReceived(*id));
  EXPECT_FALSE(store.DeleteReceived(*id));
  EXPECT_EQ(store.ListInbox(0, 10).size(), 1u);
  // Deleted from the inbox, still recognised as a repeat.
  msg.text = "two parts";
  EXPECT_FALSE(store.AddReceived(msg, {}, true, 14));
}

TEST(GatewayStore, EveryChangeIsLoggedAsAnEventInOrder) {
  TempDir dir;
  SqliteStore store(dir.Path("g.db"));
  const int64_t id = store.Enqueue(Request("+1"), 1).id;
  store.ClaimNext("a", 2);
  store.MarkSent(id, {"5"}, 3);
  store.RecordReport(ReportRecord{"a", 5, 0, "", ""}, 4);
  ReceivedMessage msg;
  msg.modem = "a";
  msg.originator = "+1";
  msg.text = "hi";
  store.AddReceived(msg, {}, false, 5);

  auto events = store.EventsAfter(0, 100);
  std::vector<std::string> seen;
  for (const Event& e : events) {
    auto data = nlohmann::json::parse(e.data);
    seen.push_back(e.type + ":" +
                   (e.type == "status" ? data["status"].get<std::string>() : data["text"].get<std::string>()));
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"status:queued", "status:sending", "status:sent", "status:delivered",
                                            "message:hi"}));
  EXPECT_EQ(store.LastEventId(), events.back().id);
  EXPECT_EQ(store.EventsAfter(events[2].id, 100).size(), 2u);
}

}  // namespace
}  // namespace vela::gateway

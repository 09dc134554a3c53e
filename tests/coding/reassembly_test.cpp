// Reassembly of concatenated messages: each case feeds parts at given times
// and lists the messages that must come out, in order.
#include "coding/reassembly.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/utf8.h"

namespace vela::coding {
namespace {

constexpr uint64_t kMinute = 60 * 1000;

struct Step {
  const char* from;
  int reference;  // -1: no concatenation
  int total, sequence;
  const char* text;
  uint64_t atMs = 0;
  bool ref16 = false;
  const char* smscTime = "";
};

struct Expected {
  const char* from;
  const char* text;
  int parts;
  bool complete;
  std::vector<int> missing;
};

ReceivedPart PartOf(const Step& s, uint64_t tag) {
  ReceivedPart p;
  p.originator = s.from;
  if (s.reference >= 0) {
    p.concatenation = Concatenation{static_cast<uint16_t>(s.reference), static_cast<uint8_t>(s.total),
                                    static_cast<uint8_t>(s.sequence), s.ref16};
  }
  p.text = WideFromUtf8(s.text);
  p.smscTime = s.smscTime;
  p.tag = tag;
  return p;
}

std::string Describe(const AssembledMessage& m) {
  return m.originator + ": " + Utf8FromWide(m.text) + (m.complete ? "" : " (incomplete)");
}

void Check(const std::vector<AssembledMessage>& got, const std::vector<Expected>& want) {
  std::string all;
  for (const AssembledMessage& m : got) all += Describe(m) + "\n";
  ASSERT_EQ(got.size(), want.size()) << all;
  for (size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(got[i].originator, want[i].from);
    EXPECT_EQ(Utf8FromWide(got[i].text), want[i].text);
    EXPECT_EQ(got[i].parts, want[i].parts);
    EXPECT_EQ(got[i].complete, want[i].complete);
    EXPECT_EQ(got[i].missing, want[i].missing);
  }
}

struct Case {
  const char* name;
  std::vector<Step> steps;
  std::vector<Expected> messages;  // from Add, then from Expire at `expireAt`, then Flush
  uint64_t expireAt = 0;
  ReassemblyOptions options = {};
};

TEST(Reassembler, Table) {
  ReassemblyOptions two_pending;
  two_pending.maxPending = 2;
  ReassemblyOptions small_memory;
  small_memory.maxPendingBytes = 20;  // ten UTF-16 units
  const Case cases[] = {
      {"in order",
       {{"A", 7, 3, 1, "one "}, {"A", 7, 3, 2, "two "}, {"A", 7, 3, 3, "three"}},
       {{"A", "one two three", 3, true, {}}}},
      {"out of order",
       {{"A", 7, 3, 3, "three"}, {"A", 7, 3, 1, "one "}, {"A", 7, 3, 2, "two "}},
       {{"A", "one two three", 3, true, {}}}},
      {"duplicates ignored",
       {{"A", 7, 2, 1, "one "}, {"A", 7, 2, 1, "ONE "}, {"A", 7, 2, 2, "two"}},
       {{"A", "one two", 2, true, {}}}},
      {"interleaved senders with the same reference",
       {{"A", 9, 2, 1, "a1 "}, {"B", 9, 2, 2, "b2"}, {"B", 9, 2, 1, "b1 "}, {"A", 9, 2, 2, "a2"}},
       {{"B", "b1 b2", 2, true, {}}, {"A", "a1 a2", 2, true, {}}}},
      {"same reference, different totals are different messages",
       {{"A", 9, 2, 1, "x"}, {"A", 9, 3, 1, "y"}, {"A", 9, 2, 2, "X"}},
       {{"A", "xX", 2, true, {}}, {"A", "y[part 2 of 3 missing][part 3 of 3 missing]", 3, false, {2, 3}}}},
      {"16-bit and 8-bit references are different messages",
       {{"A", 5, 2, 1, "8a ", 0, false},
        {"A", 5, 2, 1, "16a ", 0, true},
        {"A", 5, 2, 2, "16b", 0, true},
        {"A", 5, 2, 2, "8b", 0, false}},
       {{"A", "16a 16b", 2, true, {}}, {"A", "8a 8b", 2, true, {}}}},
      {"16-bit reference above 255",
       {{"A", 0x1234, 2, 2, "b", 0, true}, {"A", 0x1234, 2, 1, "a", 0, true}},
       {{"A", "ab", 2, true, {}}}},
      {"reference reused after completion",
       {{"A", 3, 2, 1, "first "}, {"A", 3, 2, 2, "one"}, {"A", 3, 2, 2, "two"}, {"A", 3, 2, 1, "second "}},
       {{"A", "first one", 2, true, {}}, {"A", "second two", 2, true, {}}}},
      {"a part of a delivered message arriving again is no new message",
       {{"A", 3, 2, 1, "first "}, {"A", 3, 2, 2, "one"}, {"A", 3, 2, 2, "one", kMinute}},
       {{"A", "first one", 2, true, {}}},
       20 * kMinute},
      {"invalid headers are messages of their own",
       {{"A", 1, 0, 1, "total zero"},
        {"A", 1, 3, 0, "sequence zero"},
        {"A", 1, 3, 4, "beyond total"},
        {"A", -1, 0, 0, "plain"}},
       {{"A", "total zero", 1, true, {}},
        {"A", "sequence zero", 1, true, {}},
        {"A", "beyond total", 1, true, {}},
        {"A", "plain", 1, true, {}}}},
      {"one-part concatenated message", {{"A", 4, 1, 1, "alone"}}, {{"A", "alone", 1, true, {}}}},
      {"time-out delivers what arrived, missing places shown",
       {{"A", 7, 3, 1, "one ", 0}, {"A", 7, 3, 3, " three", 5 * kMinute}},
       {{"A", "one [part 2 of 3 missing] three", 3, false, {2}}},
       10 * kMinute},
      {"time-out counts from the first part",
       {{"A", 7, 3, 2, "two", 0}, {"B", 1, 2, 1, "b", 9 * kMinute}},
       {{"A", "[part 1 of 3 missing]two[part 3 of 3 missing]", 3, false, {1, 3}},
        {"B", "b[part 2 of 2 missing]", 2, false, {2}}},
       10 * kMinute},
      {"pending bound forces the oldest out",
       {{"A", 1, 2, 1, "a"}, {"B", 1, 2, 1, "b"}, {"C", 1, 2, 1, "c"}, {"B", 1, 2, 2, "B"}},
       {{"A", "a[part 2 of 2 missing]", 2, false, {2}},
        {"B", "bB", 2, true, {}},
        {"C", "c[part 2 of 2 missing]", 2, false, {2}}},
       0,
       two_pending},
      {"memory bound forces the oldest out",
       {{"A", 1, 2, 1, "aaaaaa"}, {"B", 1, 2, 1, "bbbbbb"}, {"B", 1, 2, 2, "B"}},
       {{"A", "aaaaaa[part 2 of 2 missing]", 2, false, {2}}, {"B", "bbbbbbB", 2, true, {}}},
       0,
       small_memory},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Reassembler r(c.options);
    std::vector<AssembledMessage> got;
    uint64_t tag = 0;
    for (const Step& s : c.steps) {
      for (AssembledMessage& m : r.Add(PartOf(s, ++tag), s.atMs)) got.push_back(std::move(m));
    }
    if (c.expireAt) {
      for (AssembledMessage& m : r.Expire(c.expireAt)) got.push_back(std::move(m));
    }
    for (AssembledMessage& m : r.Flush()) got.push_back(std::move(m));
    Check(got, c.messages);
    EXPECT_EQ(r.Pending(), 0u);
    EXPECT_FALSE(r.NextDeadline());
  }
}

TEST(Reassembler, TimeOutIsDueExactlyAtTheDeadline) {
  ReassemblyOptions options;
  options.timeoutMs = 1000;
  Reassembler r(options);
  EXPECT_FALSE(r.NextDeadline());
  r.Add(PartOf({"A", 1, 2, 1, "a"}, 1), 500);
  r.Add(PartOf({"B", 1, 2, 1, "b"}, 2), 700);
  EXPECT_EQ(r.NextDeadline(), 1500u);
  EXPECT_TRUE(r.Expire(1499).empty());
  EXPECT_EQ(r.Expire(1500).size(), 1u);
  EXPECT_EQ(r.NextDeadline(), 1700u);
  EXPECT_EQ(r.Pending(), 1u);
  // A clock that never expires: the deadline saturates instead of wrapping.
  options.timeoutMs = UINT64_MAX;
  Reassembler never(options);
  never.Add(PartOf({"A", 1, 2, 1, "a"}, 1), 5);
  EXPECT_EQ(never.NextDeadline(), UINT64_MAX);
  EXPECT_TRUE(never.Expire(UINT64_MAX - 1).empty());
}

TEST(Reassembler, KeepsTagsTimesAndHeaderOfTheParts) {
  Reassembler r;
  EXPECT_TRUE(r.Add(PartOf({"A", 7, 3, 3, "c", 0, false, "2026-12-09 10:00:03"}, 30), 0).empty());
  EXPECT_TRUE(r.Add(PartOf({"A", 7, 3, 2, "b", 0, false, "2026-12-09 10:00:02"}, 20), 0).empty());
  EXPECT_TRUE(r.Add(PartOf({"A", 7, 3, 2, "b", 0, false, "2026-12-09 10:00:02"}, 21), 0).empty());  // duplicate
  std::vector<AssembledMessage> out = r.Add(PartOf({"A", 7, 3, 1, "a", 0, false, "2026-12-09 10:00:01"}, 10), 0);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].text, u"abc");
  EXPECT_EQ(out[0].smscTime, "2026-12-09 10:00:01");  // the first part's, not the first arrived
  EXPECT_EQ(out[0].tags, (std::vector<uint64_t>{30, 20, 21, 10}));
  ASSERT_TRUE(out[0].concatenation);
  EXPECT_EQ(out[0].concatenation->sequence, 3);  // of the first part that arrived

  // Incomplete: the time is the lowest sequence that arrived.
  r.Add(PartOf({"B", 1, 3, 3, "z", 0, false, "t3"}, 1), 0);
  r.Add(PartOf({"B", 1, 3, 2, "y", 0, false, "t2"}, 2), 0);
  out = r.Flush();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].smscTime, "t2");
}

TEST(Reassembler, LateDuplicatesAreReportedByTag) {
  ReassemblyOptions options;
  options.timeoutMs = 1000;
  Reassembler r(options);
  r.Add(PartOf({"A", 3, 2, 1, "x"}, 1), 0);
  ASSERT_EQ(r.Add(PartOf({"A", 3, 2, 2, "y"}, 2), 0).size(), 1u);
  EXPECT_TRUE(r.Add(PartOf({"A", 3, 2, 1, "x"}, 3), 500).empty());
  EXPECT_EQ(r.TakeLateDuplicateTags(), (std::vector<uint64_t>{3}));
  EXPECT_TRUE(r.TakeLateDuplicateTags().empty());
  EXPECT_EQ(r.Pending(), 0u);
  // After the time-out the same part starts a new message.
  EXPECT_TRUE(r.Add(PartOf({"A", 3, 2, 1, "x"}, 4), 1000).empty());
  EXPECT_EQ(r.Pending(), 1u);
  EXPECT_TRUE(r.TakeLateDuplicateTags().empty());
}

TEST(Reassembler, MemoryIsReturnedWhenMessagesLeave) {
  ReassemblyOptions options;
  options.maxPendingBytes = 8;  // four UTF-16 units
  Reassembler r(options);
  // Each message completes and frees its bytes: none is ever forced out.
  for (int i = 0; i < 50; ++i) {
    EXPECT_TRUE(r.Add(PartOf({"A", i % 256, 2, 1, "ab"}, 1), 0).empty());
    const auto out = r.Add(PartOf({"A", i % 256, 2, 2, "cd"}, 2), 0);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_TRUE(out[0].complete);
  }
}

TEST(MissingPartMarker, NamesThePlace) { EXPECT_EQ(MissingPartMarker(2, 3), u"[part 2 of 3 missing]"); }

}  // namespace
}  // namespace vela::coding

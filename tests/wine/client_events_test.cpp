// Events raised by real modem traffic: the simulated modem on the port given
// with --port loops a message sent to its own number back as an incoming
// message and follows a message with a status report when one was asked for.
#include <gtest/gtest.h>

#include <cwchar>
#include <deque>
#include <string>

#include "client_support.h"

namespace vela::wine_test {
namespace {

constexpr DISPID kOnReceiveMessage = 201;
constexpr DISPID kOnDeliveryReport = 202;
constexpr DWORD kEventWaitMs = 15000;

class EventsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (ModemPort().empty()) GTEST_SKIP() << "no simulated modem (--port not given)";
    object = NewObject();
    ASSERT_TRUE(object);
    Bstr port(ModemPort());
    ASSERT_EQ(object->put_Port(port.Get()), S_OK);
    ASSERT_EQ(object->Open(), S_OK) << ErrorDescription();
    ComPtr<IConnectionPointContainer> container;
    ASSERT_EQ(object->QueryInterface(IID_IConnectionPointContainer, container.OutVoid()), S_OK);
    ASSERT_EQ(container->FindConnectionPoint(DIID_IVelaClsEvents, point.Out()), S_OK);
  }
  void TearDown() override {
    point.Reset();
    object.Reset();
    EXPECT_EQ(Server().CanUnloadNow(), S_OK);
  }

  static std::string ErrorDescription() {
    ComPtr<IErrorInfo> info;
    if (GetErrorInfo(0, info.Out()) != S_OK || !info) return "(no error object)";
    Bstr d;
    info->GetDescription(d.Out());
    std::wstring w = d.Str();
    return std::string(w.begin(), w.end());
  }

  DWORD Connect(StubSink& sink) {
    DWORD cookie = 0;
    EXPECT_EQ(point->Advise(&sink, &cookie), S_OK);
    return cookie;
  }

  // Sends `text` to the modem's own number; returns the reference.
  std::wstring Send(const std::wstring& text, bool report) {
    Bstr dst(OwnNumber()), msg(text), ref;
    EXPECT_EQ(object->SendSms(dst.Get(), msg.Get(), report ? VARIANT_TRUE : VARIANT_FALSE, ref.Out()), S_OK)
        << ErrorDescription();
    return ref.Str();
  }

  static size_t Count(const StubSink& sink, DISPID id) {
    size_t n = 0;
    for (const SinkCall& c : sink.calls) n += c.id == id;
    return n;
  }

  // Sinks live in the fixture: the object releases its references to them
  // when it goes in TearDown.
  StubSink& NewSink() { return sinks.emplace_back(); }

  std::deque<StubSink> sinks;
  ComPtr<IVelaCls> object;
  ComPtr<IConnectionPoint> point;
};

TEST_F(EventsTest, EventsCarryTheirArgumentsInDeclaredOrderAndTypes) {
  StubSink& sink = NewSink();
  Connect(sink);
  const std::wstring reference = Send(L"Hello events", true);
  ASSERT_FALSE(reference.empty());
  ASSERT_TRUE(
      PumpUntil([&] { return Count(sink, kOnReceiveMessage) && Count(sink, kOnDeliveryReport); }, kEventWaitMs));
  for (const SinkCall& call : sink.calls) {
    EXPECT_EQ(call.flags, DISPATCH_METHOD);
    if (call.id == kOnReceiveMessage) {
      ASSERT_EQ(call.args.size(), 3u);
      ASSERT_EQ(call.args[0].vt, VT_BSTR);
      EXPECT_STREQ(call.args[0].bstrVal, OwnNumber().c_str());
      ASSERT_EQ(call.args[1].vt, VT_BSTR);
      EXPECT_STREQ(call.args[1].bstrVal, L"Hello events");
      ASSERT_EQ(call.args[2].vt, VT_DATE);
      EXPECT_GT(call.args[2].date, 40000.0) << "a service-centre time after 2009";
    } else {
      ASSERT_EQ(call.id, kOnDeliveryReport);
      ASSERT_EQ(call.args.size(), 4u);
      ASSERT_EQ(call.args[0].vt, VT_BSTR);
      // The report names the reference as two hexadecimal digits.
      wchar_t hex[8];
      std::swprintf(hex, 8, L"%02X", std::stoi(reference));
      EXPECT_STREQ(call.args[0].bstrVal, hex);
      ASSERT_EQ(call.args[1].vt, VT_DATE);
      ASSERT_EQ(call.args[2].vt, VT_DATE);
      EXPECT_GT(call.args[1].date, 40000.0);
      EXPECT_GE(call.args[2].date, call.args[1].date - 1.0);
      ASSERT_EQ(call.args[3].vt, VT_BOOL);
      EXPECT_EQ(call.args[3].boolVal, VARIANT_TRUE);
    }
  }
}

TEST_F(EventsTest, LongAndForeignTextsArriveCutAndReplaced) {
  StubSink& sink = NewSink();
  Connect(sink);
  std::wstring text;
  for (int i = 0; i < 200; ++i) text += static_cast<wchar_t>(L'A' + i % 26);
  Send(text, false);
  ASSERT_TRUE(PumpUntil([&] { return Count(sink, kOnReceiveMessage) == 1; }, kEventWaitMs));
  EXPECT_EQ(std::wstring(sink.calls[0].args[1].bstrVal), text.substr(0, 160));

  Send(L"Omega \u03a9 and \u4e2d.", false);
  ASSERT_TRUE(PumpUntil([&] { return Count(sink, kOnReceiveMessage) == 2; }, kEventWaitMs));
  EXPECT_STREQ(sink.calls[1].args[1].bstrVal, L"Omega ? and ?.");
}

TEST_F(EventsTest, FailingSinkStopsDeliveryAfterTheSinksBeforeIt) {
  StubSink& first = NewSink();
  StubSink& failing = NewSink();
  StubSink& last = NewSink();
  failing.failWith = DISP_E_EXCEPTION;
  failing.failDescription = L"handler failed";
  Connect(first);
  const DWORD failingCookie = Connect(failing);
  Connect(last);
  Send(L"one", false);
  ASSERT_TRUE(PumpUntil([&] { return !failing.calls.empty(); }, kEventWaitMs));
  PumpUntil([] { return false; }, 300);
  EXPECT_EQ(first.calls.size(), 1u);
  EXPECT_EQ(failing.calls.size(), 1u);
  EXPECT_TRUE(last.calls.empty()) << "the sink after the failing one was called";

  // The failing sink stays connected; another failure code stops delivery alike.
  failing.failWith = E_FAIL;
  Send(L"two", false);
  ASSERT_TRUE(PumpUntil([&] { return failing.calls.size() == 2; }, kEventWaitMs));
  PumpUntil([] { return false; }, 300);
  EXPECT_TRUE(last.calls.empty());

  ASSERT_EQ(point->Unadvise(failingCookie), S_OK);
  Send(L"three", false);
  ASSERT_TRUE(PumpUntil([&] { return !last.calls.empty(); }, kEventWaitMs));
  EXPECT_EQ(first.calls.size(), 3u);
  EXPECT_EQ(failing.calls.size(), 2u);
}

TEST_F(EventsTest, ConnectionsChangedDuringDeliveryTakeEffectAtTheNextEvent) {
  StubSink& a = NewSink();
  StubSink& b = NewSink();
  StubSink& late = NewSink();
  Connect(a);
  const DWORD cookieB = Connect(b);
  DWORD cookieLate = 0;
  a.onCall = [&](const SinkCall&) {
    if (a.calls.size() != 1) return;
    EXPECT_EQ(point->Unadvise(cookieB), S_OK);
    EXPECT_EQ(point->Advise(&late, &cookieLate), S_OK);
  };
  Send(L"first", false);
  ASSERT_TRUE(PumpUntil([&] { return !b.calls.empty(); }, kEventWaitMs))
      << "a sink connected when delivery started still gets the event";
  EXPECT_TRUE(late.calls.empty()) << "a sink connected during delivery got the event";
  EXPECT_EQ(cookieLate, 2u);

  Send(L"second", false);
  ASSERT_TRUE(PumpUntil([&] { return !late.calls.empty(); }, kEventWaitMs));
  PumpUntil([] { return false; }, 300);
  EXPECT_EQ(a.calls.size(), 2u);
  EXPECT_EQ(b.calls.size(), 1u);
  EXPECT_EQ(late.calls.size(), 1u);
}

TEST_F(EventsTest, SinkReconnectedBetweenEventsGetsTheNextOnce) {
  StubSink& a = NewSink();
  DWORD cookie = Connect(a);
  Send(L"before", false);
  ASSERT_TRUE(PumpUntil([&] { return a.calls.size() == 1; }, kEventWaitMs));
  ASSERT_EQ(point->Unadvise(cookie), S_OK);
  cookie = Connect(a);
  EXPECT_EQ(cookie, 1u);
  Send(L"after", false);
  ASSERT_TRUE(PumpUntil([&] { return a.calls.size() >= 2; }, kEventWaitMs));
  PumpUntil([] { return false; }, 300);
  EXPECT_EQ(a.calls.size(), 2u);
}

TEST_F(EventsTest, NoSinkNoEventAndTheObjectStaysUsable) {
  Send(L"nobody listens", false);
  PumpUntil([] { return false; }, 500);
  StubSink& a = NewSink();
  Connect(a);
  Send(L"now somebody", false);
  ASSERT_TRUE(PumpUntil([&] { return a.calls.size() == 1; }, kEventWaitMs));
  EXPECT_STREQ(a.calls[0].args[1].bstrVal, L"now somebody");
}

}  // namespace
}  // namespace vela::wine_test

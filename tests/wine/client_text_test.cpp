// IVelaCls2 and IVelaClsEvents2 from an early-bound client: the interface
// beside the version-1 one, its settings and their checks, both connection
// points, and (with the simulated modem) whole messages sent with SendText
// and received through OnReceiveText / OnMessageStatus.
#include <gtest/gtest.h>

#include <olectl.h>

#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "client_support.h"

namespace vela::wine_test {
namespace {

constexpr DISPID kOnReceiveMessage = 201;
constexpr DISPID kOnDeliveryReport = 202;
constexpr DISPID kOnReceiveText = 203;
constexpr DISPID kOnMessageStatus = 204;
constexpr DWORD kEventWaitMs = 30000;

std::string Narrow(const std::wstring& w) { return std::string(w.begin(), w.end()); }

// The description of the calling thread's error object ("" when none).
std::wstring TakeErrorDescription(GUID* guid = nullptr) {
  ComPtr<IErrorInfo> info;
  if (GetErrorInfo(0, info.Out()) != S_OK || !info) return L"";
  if (guid) info->GetGUID(guid);
  Bstr d;
  info->GetDescription(d.Out());
  return d.Str();
}

class TextObjectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ComPtr<IVelaCls> first = NewObject();
    ASSERT_TRUE(first);
    ASSERT_EQ(first->QueryInterface(IID_IVelaCls2, object.OutVoid()), S_OK);
  }
  void TearDown() override {
    object.Reset();
    EXPECT_EQ(Server().CanUnloadNow(), S_OK) << "the object outlived its last reference";
  }
  ComPtr<IConnectionPoint> Point(REFIID events) {
    ComPtr<IConnectionPointContainer> container;
    ComPtr<IConnectionPoint> point;
    EXPECT_EQ(object->QueryInterface(IID_IConnectionPointContainer, container.OutVoid()), S_OK);
    if (container) {
      EXPECT_EQ(container->FindConnectionPoint(events, point.Out()), S_OK);
    }
    return point;
  }
  std::wstring Text(HRESULT (STDMETHODCALLTYPE IVelaCls2::*get)(BSTR*)) {
    Bstr value;
    EXPECT_EQ((object.Get()->*get)(value.Out()), S_OK);
    return value.Str();
  }

  ComPtr<IVelaCls2> object;
};

TEST_F(TextObjectTest, BothInterfacesAreOneObjectWithOneVirtualTable) {
  ComPtr<IVelaCls> first;
  ASSERT_EQ(object->QueryInterface(IID_IVelaCls, first.OutVoid()), S_OK);
  EXPECT_EQ(static_cast<IUnknown*>(first.Get()), static_cast<IUnknown*>(object.Get()))
      << "IVelaCls2 extends IVelaCls: the same pointer serves both";
  ComPtr<IDispatch> dispatch;
  ASSERT_EQ(object->QueryInterface(IID_IDispatch, dispatch.OutVoid()), S_OK);
  EXPECT_EQ(Identity(dispatch.Get()), Identity(object.Get()));
  // Version-1 members through the new interface.
  Bstr port(L"COM8");
  ASSERT_EQ(object->put_Port(port.Get()), S_OK);
  Bstr read;
  ASSERT_EQ(first->get_Port(read.Out()), S_OK);
  EXPECT_EQ(read.Str(), L"COM8");
  EXPECT_EQ(Text(&IVelaCls2::get_Version), L"ORVEX SMS ActiveX Control Version 3.0");
}

TEST_F(TextObjectTest, FreshObjectSettings) {
  EXPECT_EQ(Text(&IVelaCls2::get_Coding), L"auto");
  EXPECT_EQ(Text(&IVelaCls2::get_Languages), L"");
  EXPECT_EQ(Text(&IVelaCls2::get_LockScope), L"machine");
  EXPECT_EQ(Text(&IVelaCls2::get_PartReferences), L"");
  EXPECT_EQ(Text(&IVelaCls2::get_LastError), L"");
  LONG parts = 0;
  ASSERT_EQ(object->get_MaxParts(&parts), S_OK);
  EXPECT_EQ(parts, 10);
  LONG timeout = 0;
  ASSERT_EQ(object->get_ReassemblyTimeout(&timeout), S_OK);
  EXPECT_EQ(timeout, 600) << "ten minutes";
  VARIANT_BOOL stored = VARIANT_TRUE;
  ASSERT_EQ(object->get_ReadStoredMessages(&stored), S_OK);
  EXPECT_EQ(stored, VARIANT_FALSE);
  EXPECT_EQ(object->get_Coding(nullptr), E_POINTER);
  EXPECT_EQ(object->get_MaxParts(nullptr), E_POINTER);
  EXPECT_EQ(object->SendText(nullptr, nullptr, VARIANT_FALSE, nullptr), E_POINTER);
}

// Accepted values are kept (names in their canonical spelling); a refused
// one fails with E_INVALIDARG, an error object on IVelaCls2 naming the
// property and what it allows, and leaves the previous value.
TEST_F(TextObjectTest, SettingsCheckTheirValues) {
  using Get = HRESULT (STDMETHODCALLTYPE IVelaCls2::*)(BSTR*);
  using Put = HRESULT (STDMETHODCALLTYPE IVelaCls2::*)(BSTR);
  const struct {
    Get get;
    Put put;
    const wchar_t* written;
    const wchar_t* read;  // nullptr: refused
    const wchar_t* mentions;
  } cases[] = {
      {&IVelaCls2::get_Coding, &IVelaCls2::put_Coding, L"ucs2", L"ucs2", nullptr},
      {&IVelaCls2::get_Coding, &IVelaCls2::put_Coding, L"GSM7", L"gsm7", nullptr},
      {&IVelaCls2::get_Coding, &IVelaCls2::put_Coding, L"8bit", L"8bit", nullptr},
      {&IVelaCls2::get_Coding, &IVelaCls2::put_Coding, L"Auto", L"auto", nullptr},
      {&IVelaCls2::get_Coding, &IVelaCls2::put_Coding, L"utf8", nullptr, L"auto, gsm7, ucs2, 8bit"},
      {&IVelaCls2::get_Coding, &IVelaCls2::put_Coding, L"", nullptr, L"Coding"},
      {&IVelaCls2::get_Languages, &IVelaCls2::put_Languages, L"tr,es", L"tr,es", nullptr},
      {&IVelaCls2::get_Languages, &IVelaCls2::put_Languages, L"all", L"all", nullptr},
      {&IVelaCls2::get_Languages, &IVelaCls2::put_Languages, L"", L"", nullptr},
      {&IVelaCls2::get_Languages, &IVelaCls2::put_Languages, L"tr,xx", nullptr, L"Languages"},
      {&IVelaCls2::get_Languages, &IVelaCls2::put_Languages, L"klingon", nullptr, L"klingon"},
      {&IVelaCls2::get_LockScope, &IVelaCls2::put_LockScope, L"port", L"port", nullptr},
      {&IVelaCls2::get_LockScope, &IVelaCls2::put_LockScope, L"MACHINE", L"machine", nullptr},
      {&IVelaCls2::get_LockScope, &IVelaCls2::put_LockScope, L"device", nullptr, L"machine, port"},
  };
  for (const auto& c : cases) {
    Bstr before;
    ASSERT_EQ((object.Get()->*c.get)(before.Out()), S_OK);
    Bstr value(c.written);
    SetErrorInfo(0, nullptr);
    const HRESULT hr = (object.Get()->*c.put)(value.Get());
    Bstr after;
    ASSERT_EQ((object.Get()->*c.get)(after.Out()), S_OK);
    if (c.read) {
      EXPECT_EQ(hr, S_OK) << Narrow(c.written);
      EXPECT_EQ(after.Str(), c.read) << Narrow(c.written);
      continue;
    }
    EXPECT_EQ(hr, E_INVALIDARG) << Narrow(c.written);
    GUID guid{};
    const std::wstring description = TakeErrorDescription(&guid);
    EXPECT_NE(description.find(c.mentions), std::wstring::npos) << Narrow(c.written) << ": " << Narrow(description);
    EXPECT_NE(description.find(L"allowed"), std::wstring::npos) << Narrow(description);
    EXPECT_TRUE(IsEqualGUID(guid, IID_IVelaCls2));
    EXPECT_EQ(after.Str(), before.Str()) << "a refused value changed the setting";
  }

  using GetLong = HRESULT (STDMETHODCALLTYPE IVelaCls2::*)(LONG*);
  using PutLong = HRESULT (STDMETHODCALLTYPE IVelaCls2::*)(LONG);
  const struct {
    GetLong get;
    PutLong put;
    LONG written;
    bool accepted;
    const wchar_t* mentions;
  } numbers[] = {
      {&IVelaCls2::get_MaxParts, &IVelaCls2::put_MaxParts, 1, true, nullptr},
      {&IVelaCls2::get_MaxParts, &IVelaCls2::put_MaxParts, 255, true, nullptr},
      {&IVelaCls2::get_MaxParts, &IVelaCls2::put_MaxParts, 20, true, nullptr},
      {&IVelaCls2::get_MaxParts, &IVelaCls2::put_MaxParts, 0, false, L"MaxParts"},
      {&IVelaCls2::get_MaxParts, &IVelaCls2::put_MaxParts, -1, false, L"1 to 255"},
      {&IVelaCls2::get_MaxParts, &IVelaCls2::put_MaxParts, 256, false, L"1 to 255"},
      {&IVelaCls2::get_ReassemblyTimeout, &IVelaCls2::put_ReassemblyTimeout, 5, true, nullptr},
      {&IVelaCls2::get_ReassemblyTimeout, &IVelaCls2::put_ReassemblyTimeout, 86400, true, nullptr},
      {&IVelaCls2::get_ReassemblyTimeout, &IVelaCls2::put_ReassemblyTimeout, 0, false, L"ReassemblyTimeout"},
      {&IVelaCls2::get_ReassemblyTimeout, &IVelaCls2::put_ReassemblyTimeout, 86401, false, L"1 to 86400"},
  };
  for (const auto& n : numbers) {
    LONG before = 0, after = 0;
    ASSERT_EQ((object.Get()->*n.get)(&before), S_OK);
    SetErrorInfo(0, nullptr);
    const HRESULT hr = (object.Get()->*n.put)(n.written);
    ASSERT_EQ((object.Get()->*n.get)(&after), S_OK);
    if (n.accepted) {
      EXPECT_EQ(hr, S_OK) << n.written;
      EXPECT_EQ(after, n.written);
    } else {
      EXPECT_EQ(hr, E_INVALIDARG) << n.written;
      const std::wstring description = TakeErrorDescription();
      EXPECT_NE(description.find(n.mentions), std::wstring::npos) << Narrow(description);
      EXPECT_NE(description.find(L"allowed"), std::wstring::npos) << Narrow(description);
      EXPECT_EQ(after, before);
    }
  }

  for (VARIANT_BOOL written : {VARIANT_TRUE, VARIANT_FALSE, static_cast<VARIANT_BOOL>(1)}) {
    ASSERT_EQ(object->put_ReadStoredMessages(written), S_OK);
    VARIANT_BOOL read = 0;
    ASSERT_EQ(object->get_ReadStoredMessages(&read), S_OK);
    EXPECT_EQ(read, written ? VARIANT_TRUE : VARIANT_FALSE) << "any non-zero is true";
  }
}

// Late-bound callers reach the new members by name; a refused value comes
// back as an exception carrying E_INVALIDARG and the description.
TEST_F(TextObjectTest, DispatchReachesTheNewMembers) {
  ComPtr<IDispatch> d;
  ASSERT_EQ(object->QueryInterface(IID_IDispatch, d.OutVoid()), S_OK);
  const std::pair<const wchar_t*, DISPID> names[] = {
      {L"SendText", 220},          {L"PartReferences", 221},     {L"Coding", 222},    {L"Languages", 223},
      {L"MaxParts", 224},          {L"ReadStoredMessages", 225}, {L"LockScope", 226}, {L"LastError", 227},
      {L"ReassemblyTimeout", 228}, {L"sendtext", 220},           {L"SendSms", 210},   {L"Port", 201}};
  for (const auto& [name, expected] : names) {
    std::wstring n = name;
    LPOLESTR p = n.data();
    DISPID id = 0;
    EXPECT_EQ(d->GetIDsOfNames(IID_NULL, &p, 1, LOCALE_USER_DEFAULT, &id), S_OK) << Narrow(n);
    EXPECT_EQ(id, expected) << Narrow(n);
  }

  VARIANT value;
  value.vt = VT_I4;
  value.lVal = 3;
  DISPID named = DISPID_PROPERTYPUT;
  DISPPARAMS put{&value, &named, 1, 1};
  ASSERT_EQ(d->Invoke(224, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYPUT, &put, nullptr, nullptr, nullptr), S_OK);
  DISPPARAMS none{};
  VARIANT result;
  VariantInit(&result);
  ASSERT_EQ(d->Invoke(224, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr),
            S_OK);
  EXPECT_EQ(result.vt, VT_I4);
  EXPECT_EQ(result.lVal, 3);

  value.lVal = 0;
  EXCEPINFO excep{};
  EXPECT_EQ(d->Invoke(224, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYPUT, &put, nullptr, &excep, nullptr),
            DISP_E_EXCEPTION);
  if (excep.pfnDeferredFillIn) excep.pfnDeferredFillIn(&excep);
  EXPECT_EQ(excep.scode, E_INVALIDARG);
  EXPECT_NE(std::wstring(excep.bstrDescription ? excep.bstrDescription : L"").find(L"MaxParts"), std::wstring::npos);
  SysFreeString(excep.bstrSource);
  SysFreeString(excep.bstrDescription);
  SysFreeString(excep.bstrHelpFile);
}

// SendText on a closed port is an error (SendSms keeps its empty result).
TEST_F(TextObjectTest, SendTextNeedsAnOpenPort) {
  Bstr dst(L"+15551234567"), text(L"hello");
  BSTR id = reinterpret_cast<BSTR>(1);
  SetErrorInfo(0, nullptr);
  EXPECT_EQ(object->SendText(dst.Get(), text.Get(), VARIANT_FALSE, &id), E_UNEXPECTED);
  EXPECT_EQ(id, nullptr);
  GUID guid{};
  EXPECT_NE(TakeErrorDescription(&guid).find(L"not open"), std::wstring::npos);
  EXPECT_TRUE(IsEqualGUID(guid, IID_IVelaCls2));
}

// Errors of version-1 members keep naming IVelaCls.
TEST_F(TextObjectTest, VersionOneMembersKeepTheirErrorInterface) {
  Bstr missing(L"COM97");
  ASSERT_EQ(object->put_Port(missing.Get()), S_OK);
  SetErrorInfo(0, nullptr);
  EXPECT_EQ(object->Open(), E_UNEXPECTED);
  GUID guid{};
  EXPECT_FALSE(TakeErrorDescription(&guid).empty());
  EXPECT_TRUE(IsEqualGUID(guid, IID_IVelaCls));
}

// Each point accepts only sinks of its own events interface; a sink may be
// connected to both.
TEST_F(TextObjectTest, EachPointTakesSinksOfItsOwnInterface) {
  ComPtr<IConnectionPoint> oldPoint = Point(DIID_IVelaClsEvents);
  ComPtr<IConnectionPoint> newPoint = Point(DIID_IVelaClsEvents2);
  ASSERT_TRUE(oldPoint && newPoint);
  StubSink oldOnly({DIID_IVelaClsEvents});
  StubSink newOnly({DIID_IVelaClsEvents2});
  StubSink both({DIID_IVelaClsEvents, DIID_IVelaClsEvents2});
  const struct {
    IConnectionPoint* point;
    StubSink* sink;
    HRESULT expected;
  } cases[] = {{newPoint.Get(), &oldOnly, E_NOINTERFACE},
               {oldPoint.Get(), &newOnly, E_NOINTERFACE},
               {newPoint.Get(), &newOnly, S_OK},
               {oldPoint.Get(), &oldOnly, S_OK},
               {newPoint.Get(), &both, S_OK},
               {oldPoint.Get(), &both, S_OK}};
  std::vector<std::pair<IConnectionPoint*, DWORD>> cookies;
  for (const auto& c : cases) {
    DWORD cookie = 0;
    EXPECT_EQ(c.point->Advise(c.sink, &cookie), c.expected);
    if (c.expected == S_OK) cookies.emplace_back(c.point, cookie);
  }
  // Cookies count per point.
  EXPECT_EQ(cookies[0].second, 1u);
  EXPECT_EQ(cookies[1].second, 1u);
  EXPECT_EQ(cookies[2].second, 2u);
  EXPECT_EQ(cookies[3].second, 2u);
  EXPECT_EQ(both.refs, 3);
  for (const auto& [point, cookie] : cookies) EXPECT_EQ(point->Unadvise(cookie), S_OK);
  EXPECT_EQ(both.refs, 1);
  EXPECT_EQ(newOnly.refs, 1);
  EXPECT_EQ(oldOnly.refs, 1);
}

// --- with the simulated modem ----------------------------------------------------

// The modem loops a message to its own number back, as many parts as it was
// sent in, each followed by a status report when one was asked for.
class TextEventsTest : public TextObjectTest {
 protected:
  void SetUp() override {
    if (ModemPort().empty()) GTEST_SKIP() << "no simulated modem (--port not given)";
    TextObjectTest::SetUp();
    ASSERT_TRUE(object);
    Bstr port(ModemPort());
    ASSERT_EQ(object->put_Port(port.Get()), S_OK);
    ASSERT_EQ(object->Open(), S_OK) << Narrow(TakeErrorDescription());
  }
  void TearDown() override {
    if (!object) return;
    TextObjectTest::TearDown();
  }
  DWORD Connect(REFIID events, StubSink& sink) {
    DWORD cookie = 0;
    EXPECT_EQ(Point(events)->Advise(&sink, &cookie), S_OK);
    return cookie;
  }
  static size_t Count(const StubSink& sink, DISPID id) {
    size_t n = 0;
    for (const SinkCall& c : sink.calls) n += c.id == id;
    return n;
  }
  static const SinkCall* First(const StubSink& sink, DISPID id) {
    for (const SinkCall& c : sink.calls)
      if (c.id == id) return &c;
    return nullptr;
  }
  // To the modem's own number unless `to` is given (then nothing comes back).
  std::wstring SendText(const std::wstring& text, bool report, const std::wstring& to = L"") {
    Bstr dst(to.empty() ? OwnNumber() : to), msg(text), id;
    EXPECT_EQ(object->SendText(dst.Get(), msg.Get(), report ? VARIANT_TRUE : VARIANT_FALSE, id.Out()), S_OK)
        << Narrow(TakeErrorDescription());
    return id.Str();
  }
  static std::vector<std::wstring> Split(const std::wstring& list) {
    std::vector<std::wstring> items;
    size_t start = 0;
    while (start <= list.size() && !list.empty()) {
      size_t comma = list.find(L',', start);
      items.push_back(list.substr(start, comma == std::wstring::npos ? std::wstring::npos : comma - start));
      if (comma == std::wstring::npos) break;
      start = comma + 1;
    }
    return items;
  }
  StubSink& NewSink(std::vector<IID> events) { return sinks.emplace_back(std::move(events)); }

  std::deque<StubSink> sinks;
};

// A 200-character Greek text: UCS2 in 3 parts. The new sink gets the whole
// text once and the message's status once; both sinks get the per-part
// events; the version-1 sink never sees the new events.
TEST_F(TextEventsTest, LongUnicodeTextComesBackWholeWithItsStatus) {
  StubSink& sink2 = NewSink({DIID_IVelaClsEvents2});
  StubSink& sink1 = NewSink({DIID_IVelaClsEvents});
  Connect(DIID_IVelaClsEvents2, sink2);
  Connect(DIID_IVelaClsEvents, sink1);
  std::wstring text;
  const std::wstring word = L"\u039a\u03b1\u03bb\u03b7\u03bc\u03ad\u03c1\u03b1 \u03ba\u03cc\u03c3\u03bc\u03b5 ";
  while (text.size() < 200) text += word;
  text.resize(200);

  const std::wstring id = SendText(text, true);
  ASSERT_FALSE(id.empty());
  Bstr partReferences;
  ASSERT_EQ(object->get_PartReferences(partReferences.Out()), S_OK);
  const std::vector<std::wstring> references = Split(partReferences.Str());
  ASSERT_EQ(references.size(), 3u) << "200 UCS2 characters take three parts";
  for (const std::wstring& r : references) EXPECT_FALSE(r.empty());

  ASSERT_TRUE(PumpUntil([&] { return Count(sink2, kOnMessageStatus) && Count(sink2, kOnReceiveText); }, kEventWaitMs));
  PumpUntil([&] { return Count(sink1, kOnDeliveryReport) == 3; }, 2000);

  const SinkCall* whole = First(sink2, kOnReceiveText);
  ASSERT_NE(whole, nullptr);
  ASSERT_EQ(whole->args.size(), 5u);
  ASSERT_EQ(whole->args[0].vt, VT_BSTR);
  EXPECT_STREQ(whole->args[0].bstrVal, OwnNumber().c_str());
  ASSERT_EQ(whole->args[1].vt, VT_BSTR);
  EXPECT_EQ(std::wstring(whole->args[1].bstrVal, SysStringLen(whole->args[1].bstrVal)), text);
  ASSERT_EQ(whole->args[2].vt, VT_DATE);
  EXPECT_GT(whole->args[2].date, 40000.0);
  ASSERT_EQ(whole->args[3].vt, VT_I4);
  EXPECT_EQ(whole->args[3].lVal, 3);
  ASSERT_EQ(whole->args[4].vt, VT_BOOL);
  EXPECT_EQ(whole->args[4].boolVal, VARIANT_TRUE);
  EXPECT_EQ(Count(sink2, kOnReceiveText), 1u);

  const SinkCall* status = First(sink2, kOnMessageStatus);
  ASSERT_NE(status, nullptr);
  ASSERT_EQ(status->args.size(), 2u);
  ASSERT_EQ(status->args[0].vt, VT_BSTR);
  EXPECT_EQ(std::wstring(status->args[0].bstrVal), id);
  ASSERT_EQ(status->args[1].vt, VT_BOOL);
  EXPECT_EQ(status->args[1].boolVal, VARIANT_TRUE);
  EXPECT_EQ(Count(sink2, kOnMessageStatus), 1u);

  for (const StubSink* s : {&sink1, &sink2}) {
    EXPECT_EQ(Count(*s, kOnReceiveMessage), 3u) << "one version-1 message event per part";
    EXPECT_EQ(Count(*s, kOnDeliveryReport), 3u) << "one version-1 report event per part";
  }
  EXPECT_EQ(Count(sink1, kOnReceiveText) + Count(sink1, kOnMessageStatus), 0u);
  // The per-part event carries code-page text: Greek is outside it.
  const SinkCall* part = First(sink1, kOnReceiveMessage);
  ASSERT_NE(part, nullptr);
  EXPECT_EQ(std::wstring(part->args[1].bstrVal).find(L'\u039a'), std::wstring::npos);
}

// Identifiers are unique within the object; a one-part text has one reference.
TEST_F(TextEventsTest, EachSendGetsItsOwnIdentifier) {
  const std::wstring a = SendText(L"short one", false, L"+15551234567");
  Bstr refs;
  ASSERT_EQ(object->get_PartReferences(refs.Out()), S_OK);
  EXPECT_EQ(Split(refs.Str()).size(), 1u) << Narrow(refs.Str());
  const std::wstring b = SendText(L"short two", false, L"+15551234567");
  EXPECT_FALSE(a.empty());
  EXPECT_FALSE(b.empty());
  EXPECT_NE(a, b);
}

// A message whose second part never comes is reported after the
// reassembly time-out, incomplete, with what arrived and the gap marked;
// the parts that came are reported one by one at once.
class TimeoutTest : public TextEventsTest {
 protected:
  void SetUp() override {
    if (ModemPort().empty() || ControlPath().empty()) GTEST_SKIP() << "no simulated modem or control FIFO";
    TextObjectTest::SetUp();
    ASSERT_TRUE(object);
    ASSERT_EQ(object->put_ReassemblyTimeout(2), S_OK);
    Bstr port(ModemPort());
    ASSERT_EQ(object->put_Port(port.Get()), S_OK);
    ASSERT_EQ(object->Open(), S_OK) << Narrow(TakeErrorDescription());
  }
};

TEST_F(TimeoutTest, MissingPartGivesAnIncompleteMessageAfterTheTimeOut) {
  StubSink& sink = NewSink({DIID_IVelaClsEvents2});
  Connect(DIID_IVelaClsEvents2, sink);
  const std::string first(153, 'A'), second(153, 'B'), third(40, 'C');
  ASSERT_TRUE(ControlLine("deliver-long --drop 2 +15557654321 " + first + second + third));
  ASSERT_TRUE(PumpUntil([&] { return Count(sink, kOnReceiveMessage) == 2; }, kEventWaitMs));
  const DWORD partsArrived = GetTickCount();
  EXPECT_EQ(Count(sink, kOnReceiveText), 0u) << "reported before its time-out";
  ASSERT_TRUE(PumpUntil([&] { return Count(sink, kOnReceiveText) == 1; }, kEventWaitMs));
  EXPECT_GE(GetTickCount() - partsArrived, 1000u) << "the time-out is 2 s from the first part";

  const SinkCall* whole = First(sink, kOnReceiveText);
  ASSERT_NE(whole, nullptr);
  EXPECT_STREQ(whole->args[0].bstrVal, L"+15557654321");
  const std::wstring text(whole->args[1].bstrVal, SysStringLen(whole->args[1].bstrVal));
  EXPECT_EQ(text.substr(0, 153), std::wstring(first.begin(), first.end()));
  EXPECT_EQ(text.substr(text.size() - 40), std::wstring(third.begin(), third.end()));
  EXPECT_EQ(text.find(L'B'), std::wstring::npos);
  EXPECT_GT(text.size(), 153u + 40u) << "the missing part's place is marked";
  EXPECT_EQ(whole->args[3].lVal, 3);
  EXPECT_EQ(whole->args[4].boolVal, VARIANT_FALSE);
  PumpUntil([] { return false; }, 500);
  EXPECT_EQ(Count(sink, kOnReceiveText), 1u);
}

// Another program holds the machine-wide lock ("DezIsBusy"). Under the
// default scope a command waits until it lets go; under LockScope "port" it
// goes out at once, the lock still held.
TEST_F(TextEventsTest, PortScopeDoesNotWaitForTheMachineLock) {
  HANDLE busy = CreateSemaphoreW(nullptr, 1, 1, L"DezIsBusy");
  ASSERT_NE(busy, nullptr);
  struct Holder {
    HANDLE semaphore;
    LONG released = 0;
    HANDLE thread = nullptr;
    static DWORD WINAPI Release(void* p) {
      auto* h = static_cast<Holder*>(p);
      Sleep(2000);
      InterlockedExchange(&h->released, 1);
      ReleaseSemaphore(h->semaphore, 1, nullptr);
      return 0;
    }
  };
  for (const wchar_t* scope : {L"machine", L"port"}) {
    // Like Port and Baudrate, the scope is taken by the next Open.
    ASSERT_EQ(object->Close(), S_OK);
    Bstr name(scope);
    ASSERT_EQ(object->put_LockScope(name.Get()), S_OK);
    ASSERT_EQ(object->Open(), S_OK) << Narrow(TakeErrorDescription());
    ASSERT_EQ(WaitForSingleObject(busy, 5000), WAIT_OBJECT_0) << "the test could not take the lock";
    Holder holder{busy};
    holder.thread = CreateThread(nullptr, 0, &Holder::Release, &holder, 0, nullptr);
    ASSERT_NE(holder.thread, nullptr);
    const std::wstring id = SendText(L"lock scope", false, L"+15551234567");
    const bool releasedFirst = InterlockedCompareExchange(&holder.released, 0, 0) != 0;
    WaitForSingleObject(holder.thread, INFINITE);
    CloseHandle(holder.thread);
    EXPECT_FALSE(id.empty()) << Narrow(scope);
    if (std::wstring(scope) == L"machine")
      EXPECT_TRUE(releasedFirst) << "the command did not wait for the machine-wide lock";
    else
      EXPECT_FALSE(releasedFirst) << "the command waited for the machine-wide lock";
  }
  CloseHandle(busy);
}

// More parts than MaxParts allows: E_INVALIDARG naming the limit, nothing sent.
TEST_F(TextEventsTest, TooManyPartsIsRefusedBeforeSending) {
  StubSink& sink = NewSink({DIID_IVelaClsEvents2});
  Connect(DIID_IVelaClsEvents2, sink);
  ASSERT_EQ(object->put_MaxParts(2), S_OK);
  Bstr dst(OwnNumber()), msg(std::wstring(400, L'x'));
  BSTR id = reinterpret_cast<BSTR>(1);
  SetErrorInfo(0, nullptr);
  EXPECT_EQ(object->SendText(dst.Get(), msg.Get(), VARIANT_FALSE, &id), E_INVALIDARG);
  EXPECT_EQ(id, nullptr);
  const std::wstring description = TakeErrorDescription();
  EXPECT_NE(description.find(L"part"), std::wstring::npos) << Narrow(description);
  PumpUntil([] { return false; }, 1500);
  // Messages of earlier tests may still come back; none of this one's.
  for (const SinkCall& call : sink.calls) {
    if (call.id == kOnReceiveMessage || call.id == kOnReceiveText) {
      EXPECT_EQ(std::wstring(call.args[1].bstrVal).find(L"xxx"), std::wstring::npos) << "something was sent";
    }
  }
}

}  // namespace
}  // namespace vela::wine_test

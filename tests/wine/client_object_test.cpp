// The control object through its interfaces: identity, properties, IDispatch,
// error objects and the connection point bookkeeping (no modem needed).
#include <gtest/gtest.h>

#include <olectl.h>

#include <string>
#include <utility>
#include <vector>

#include "client_support.h"

namespace vela::wine_test {
namespace {

class ObjectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    object = NewObject();
    ASSERT_TRUE(object);
  }
  void TearDown() override {
    object.Reset();
    EXPECT_EQ(Server().CanUnloadNow(), S_OK) << "the object outlived its last reference";
  }

  ComPtr<IDispatch> Dispatch() {
    ComPtr<IDispatch> d;
    EXPECT_EQ(object->QueryInterface(IID_IDispatch, d.OutVoid()), S_OK);
    return d;
  }
  ComPtr<IConnectionPoint> EventsPoint() {
    ComPtr<IConnectionPointContainer> container;
    ComPtr<IConnectionPoint> point;
    EXPECT_EQ(object->QueryInterface(IID_IConnectionPointContainer, container.OutVoid()), S_OK);
    if (container) {
      EXPECT_EQ(container->FindConnectionPoint(DIID_IVelaClsEvents, point.Out()), S_OK);
    }
    return point;
  }
  // The (sink, cookie) pairs an enumerator reports from where it stands.
  static std::vector<std::pair<IUnknown*, DWORD>> Walk(IEnumConnections* e) {
    std::vector<std::pair<IUnknown*, DWORD>> seen;
    CONNECTDATA cd{};
    while (e->Next(1, &cd, nullptr) == S_OK) {
      seen.emplace_back(cd.pUnk, cd.dwCookie);
      cd.pUnk->Release();
    }
    return seen;
  }

  ComPtr<IVelaCls> object;
};

TEST_F(ObjectTest, AnswersEveryListedInterfaceWithOneIdentity) {
  const IID* listed[] = {
      &IID_IUnknown,          &IID_IVelaCls,         &IID_IVelaCls2, &IID_IDispatch, &IID_IConnectionPointContainer,
      &IID_IProvideClassInfo, &IID_ISupportErrorInfo};
  IUnknown* identity = Identity(object.Get());
  ASSERT_NE(identity, nullptr);
  for (const IID* iid : listed) {
    ComPtr<IUnknown> p;
    ASSERT_EQ(object->QueryInterface(*iid, p.OutVoid()), S_OK) << GuidString(*iid);
    EXPECT_EQ(Identity(p.Get()), identity) << GuidString(*iid);
  }
  const IID* absent[] = {&IID_IPersist, &IID_IClassFactory, &DIID_IVelaClsEvents, &DIID_IVelaClsEvents2,
                         &IID_IConnectionPoint};
  for (const IID* iid : absent) {
    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(object->QueryInterface(*iid, &p), E_NOINTERFACE) << GuidString(*iid);
    EXPECT_EQ(p, nullptr);
  }
}

TEST_F(ObjectTest, ErrorInfoSupportedForImplementedInterfacesOnly) {
  ComPtr<ISupportErrorInfo> support;
  ASSERT_EQ(object->QueryInterface(IID_ISupportErrorInfo, support.OutVoid()), S_OK);
  const IID* implemented[] = {
      &IID_IUnknown,          &IID_IVelaCls,         &IID_IVelaCls2, &IID_IDispatch, &IID_IConnectionPointContainer,
      &IID_IProvideClassInfo, &IID_ISupportErrorInfo};
  for (const IID* iid : implemented) EXPECT_EQ(support->InterfaceSupportsErrorInfo(*iid), S_OK) << GuidString(*iid);
  EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_IPersist), S_FALSE);
  EXPECT_EQ(support->InterfaceSupportsErrorInfo(DIID_IVelaClsEvents), S_FALSE);
  EXPECT_EQ(support->InterfaceSupportsErrorInfo(DIID_IVelaClsEvents2), S_FALSE);
}

TEST_F(ObjectTest, ClassInfoIsTheCoclass) {
  ComPtr<IProvideClassInfo> provide;
  ASSERT_EQ(object->QueryInterface(IID_IProvideClassInfo, provide.OutVoid()), S_OK);
  ComPtr<ITypeInfo> info;
  ASSERT_EQ(provide->GetClassInfo(info.Out()), S_OK);
  TYPEATTR* ta = nullptr;
  ASSERT_EQ(info->GetTypeAttr(&ta), S_OK);
  EXPECT_EQ(ta->typekind, TKIND_COCLASS);
  EXPECT_TRUE(IsEqualGUID(ta->guid, CLSID_VelaCls));
  info->ReleaseTypeAttr(ta);
}

TEST_F(ObjectTest, FreshObjectDefaults) {
  const struct {
    HRESULT (STDMETHODCALLTYPE IVelaCls::*get)(BSTR*);
    const wchar_t* expected;
  } texts[] = {{&IVelaCls::get_Port, L"COM3"},     {&IVelaCls::get_Pin, L""},
               {&IVelaCls::get_DeviceModel, L""},  {&IVelaCls::get_Manufacturer, L""},
               {&IVelaCls::get_DeviceSerial, L""}, {&IVelaCls::get_Version, L"ORVEX SMS ActiveX Control Version 3.0"}};
  for (const auto& t : texts) {
    Bstr value;
    ASSERT_EQ((object.Get()->*t.get)(value.Out()), S_OK);
    EXPECT_EQ(value.Str(), t.expected);
  }
  LONG baud = 0;
  ASSERT_EQ(object->get_Baudrate(&baud), S_OK);
  EXPECT_EQ(baud, 9600);
  VARIANT_BOOL open = VARIANT_TRUE;
  ASSERT_EQ(object->get_IsOpen(&open), S_OK);
  EXPECT_EQ(open, VARIANT_FALSE);
  EXPECT_EQ(object->get_Port(nullptr), E_POINTER);
}

TEST_F(ObjectTest, TextPropertiesPassThroughTheCodePage) {
  const struct {
    const wchar_t* written;
    const wchar_t* read;
  } cases[] = {{L"COM7", L"COM7"},
               {L"", L""},
               {L"caf\u00e9 \u00e4\u00df", L"caf\u00e9 \u00e4\u00df"},  // in the code page
               {L"\u03a9\u4e2d1", L"??1"}};                             // outside it: the replacement character
  for (const auto& c : cases) {
    Bstr in(c.written);
    ASSERT_EQ(object->put_Pin(in.Get()), S_OK);
    Bstr out;
    ASSERT_EQ(object->get_Pin(out.Out()), S_OK);
    EXPECT_EQ(out.Str(), c.read);
  }
  ASSERT_EQ(object->put_Pin(nullptr), S_OK) << "a null BSTR is the empty string";
  Bstr out;
  ASSERT_EQ(object->get_Pin(out.Out()), S_OK);
  EXPECT_EQ(out.Str(), L"");
  ASSERT_EQ(object->put_Baudrate(115200), S_OK);
  LONG baud = 0;
  ASSERT_EQ(object->get_Baudrate(&baud), S_OK);
  EXPECT_EQ(baud, 115200);
}

TEST_F(ObjectTest, NamesMapToTheirDispatchIdentifiers) {
  ComPtr<IDispatch> d = Dispatch();
  const struct {
    const wchar_t* name;
    DISPID id;
  } names[] = {{L"Port", 201},         {L"Baudrate", 202},     {L"Pin", 203},     {L"DeviceModel", 204},
               {L"Manufacturer", 205}, {L"DeviceSerial", 206}, {L"IsOpen", 207},  {L"Open", 208},
               {L"Close", 209},        {L"SendSms", 210},      {L"sendsms", 210}, {L"Version", 212}};
  for (const auto& n : names) {
    std::wstring name = n.name;
    LPOLESTR p = name.data();
    DISPID id = 0;
    EXPECT_EQ(d->GetIDsOfNames(IID_NULL, &p, 1, LOCALE_USER_DEFAULT, &id), S_OK) << n.name;
    EXPECT_EQ(id, n.id) << n.name;
  }
  std::wstring unknown = L"SendFax";
  LPOLESTR p = unknown.data();
  DISPID id = 0;
  EXPECT_EQ(d->GetIDsOfNames(IID_NULL, &p, 1, LOCALE_USER_DEFAULT, &id), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(id, DISPID_UNKNOWN);

  UINT count = 0;
  EXPECT_EQ(d->GetTypeInfoCount(&count), S_OK);
  EXPECT_EQ(count, 1u);
  ComPtr<ITypeInfo> info;
  EXPECT_EQ(d->GetTypeInfo(1, 0, info.Out()), DISP_E_BADINDEX);
  ASSERT_EQ(d->GetTypeInfo(0, 0, info.Out()), S_OK);
  TYPEATTR* ta = nullptr;
  ASSERT_EQ(info->GetTypeAttr(&ta), S_OK);
  // The default interface IVelaCls2, which holds every IVelaCls member
  // under the same identifier (the names above resolved through it).
  EXPECT_TRUE(IsEqualGUID(ta->guid, IID_IVelaCls2));
  EXPECT_EQ(ta->typekind, TKIND_DISPATCH);
  info->ReleaseTypeAttr(ta);
}

HRESULT Put(IDispatch* d, DISPID id, WORD flags, VARIANT value) {
  DISPID named = DISPID_PROPERTYPUT;
  DISPPARAMS params{&value, &named, 1, 1};
  return d->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, nullptr, nullptr, nullptr);
}

HRESULT Get(IDispatch* d, DISPID id, VARIANT* result) {
  DISPPARAMS none{};
  VariantInit(result);
  return d->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, result, nullptr, nullptr);
}

TEST_F(ObjectTest, PutAndPutByReferenceReachTheSameWriteMember) {
  ComPtr<IDispatch> d = Dispatch();
  const WORD kinds[] = {DISPATCH_PROPERTYPUT, DISPATCH_PROPERTYPUTREF, DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF};
  int n = 0;
  for (WORD kind : kinds) {
    ++n;
    std::wstring port = L"COM" + std::to_wstring(10 + n);
    VARIANT v;
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocString(port.c_str());
    EXPECT_EQ(Put(d.Get(), 201, kind, v), S_OK) << "flags " << kind;
    VariantClear(&v);
    Bstr read;
    ASSERT_EQ(object->get_Port(read.Out()), S_OK);
    EXPECT_EQ(read.Str(), port) << "flags " << kind;

    VARIANT baud;
    baud.vt = VT_I4;
    baud.lVal = 1200 * n;
    EXPECT_EQ(Put(d.Get(), 202, kind, baud), S_OK) << "flags " << kind;
    VARIANT result;
    ASSERT_EQ(Get(d.Get(), 202, &result), S_OK);
    EXPECT_EQ(result.vt, VT_I4);
    EXPECT_EQ(result.lVal, 1200 * n) << "flags " << kind;
  }
  // A read-only property has no write member.
  VARIANT v;
  v.vt = VT_BSTR;
  v.bstrVal = SysAllocString(L"x");
  EXPECT_NE(Put(d.Get(), 212, DISPATCH_PROPERTYPUT, v), S_OK);
  EXPECT_NE(Put(d.Get(), 212, DISPATCH_PROPERTYPUTREF, v), S_OK);
  VariantClear(&v);
}

TEST_F(ObjectTest, InvokeReadsThroughTheDualInterface) {
  ComPtr<IDispatch> d = Dispatch();
  VARIANT result;
  ASSERT_EQ(Get(d.Get(), 212, &result), S_OK);
  ASSERT_EQ(result.vt, VT_BSTR);
  EXPECT_STREQ(result.bstrVal, L"ORVEX SMS ActiveX Control Version 3.0");
  VariantClear(&result);
  ASSERT_EQ(Get(d.Get(), 207, &result), S_OK);
  EXPECT_EQ(result.vt, VT_BOOL);
  EXPECT_EQ(result.boolVal, VARIANT_FALSE);
  DISPPARAMS none{};
  EXPECT_EQ(d->Invoke(999, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr),
            DISP_E_MEMBERNOTFOUND);
}

// A port that cannot be opened: the member fails with E_UNEXPECTED and an error
// object naming the class and interface; IDispatch callers get an exception.
TEST_F(ObjectTest, FailingMemberInstallsErrorObject) {
  Bstr missing(L"COM97");
  ASSERT_EQ(object->put_Port(missing.Get()), S_OK);
  SetErrorInfo(0, nullptr);
  EXPECT_EQ(object->Open(), E_UNEXPECTED);
  ComPtr<IErrorInfo> info;
  ASSERT_EQ(GetErrorInfo(0, info.Out()), S_OK);
  ASSERT_TRUE(info);
  GUID guid{};
  info->GetGUID(&guid);
  EXPECT_TRUE(IsEqualGUID(guid, IID_IVelaCls));
  Bstr source, description, helpFile;
  info->GetSource(source.Out());
  info->GetDescription(description.Out());
  info->GetHelpFile(helpFile.Out());
  DWORD context = 1;
  info->GetHelpContext(&context);
  EXPECT_EQ(source.Str(), L"VelaCtrl.VelaCls");
  EXPECT_FALSE(description.Str().empty());
  EXPECT_EQ(helpFile.Str(), L"");
  EXPECT_EQ(context, 0u);
  VARIANT_BOOL open = VARIANT_TRUE;
  EXPECT_EQ(object->get_IsOpen(&open), S_OK);
  EXPECT_EQ(open, VARIANT_FALSE);

  ComPtr<IDispatch> d = Dispatch();
  DISPPARAMS none{};
  EXCEPINFO excep{};
  EXPECT_EQ(d->Invoke(208, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &none, nullptr, &excep, nullptr),
            DISP_E_EXCEPTION);
  if (excep.pfnDeferredFillIn) excep.pfnDeferredFillIn(&excep);
  EXPECT_EQ(excep.scode, E_UNEXPECTED);
  EXPECT_STREQ(excep.bstrSource, L"VelaCtrl.VelaCls");
  EXPECT_EQ(std::wstring(excep.bstrDescription ? excep.bstrDescription : L""), description.Str());
  SysFreeString(excep.bstrSource);
  SysFreeString(excep.bstrDescription);
  SysFreeString(excep.bstrHelpFile);
}

// The encoder refuses an empty destination before anything is sent: the out
// value stays null (a caller frees nothing after a failure).
TEST_F(ObjectTest, FailedSendLeavesNoResult) {
  Bstr empty(L""), text(L"text");
  BSTR reference = reinterpret_cast<BSTR>(1);
  SetErrorInfo(0, nullptr);
  EXPECT_EQ(object->SendSms(empty.Get(), text.Get(), VARIANT_FALSE, &reference), E_UNEXPECTED);
  EXPECT_EQ(reference, nullptr);
  ComPtr<IErrorInfo> info;
  ASSERT_EQ(GetErrorInfo(0, info.Out()), S_OK);
  Bstr description;
  info->GetDescription(description.Out());
  EXPECT_EQ(description.Str(), L"Error encoding PDU");
  EXPECT_EQ(object->SendSms(empty.Get(), text.Get(), VARIANT_FALSE, nullptr), E_POINTER);
}

// --- connection points ------------------------------------------------------

// One connection point per events interface: IVelaClsEvents2 (the default
// source) first, then IVelaClsEvents, each findable by its identifier.
TEST_F(ObjectTest, ContainerHasAConnectionPointPerEventsInterface) {
  ComPtr<IConnectionPointContainer> container;
  ASSERT_EQ(object->QueryInterface(IID_IConnectionPointContainer, container.OutVoid()), S_OK);
  for (const IID* iid : {&IID_IVelaCls, &IID_IVelaCls2, &IID_IDispatch}) {
    IConnectionPoint* none = reinterpret_cast<IConnectionPoint*>(1);
    EXPECT_EQ(container->FindConnectionPoint(*iid, &none), CONNECT_E_NOCONNECTION) << GuidString(*iid);
    EXPECT_EQ(none, nullptr);
  }

  ComPtr<IConnectionPoint> point = EventsPoint();
  ASSERT_TRUE(point);
  ComPtr<IConnectionPoint> point2;
  ASSERT_EQ(container->FindConnectionPoint(DIID_IVelaClsEvents2, point2.Out()), S_OK);
  EXPECT_NE(point.Get(), point2.Get());
  const std::pair<IConnectionPoint*, const IID*> points[] = {{point2.Get(), &DIID_IVelaClsEvents2},
                                                             {point.Get(), &DIID_IVelaClsEvents}};
  for (const auto& [p, expected] : points) {
    IID iid{};
    EXPECT_EQ(p->GetConnectionInterface(&iid), S_OK);
    EXPECT_TRUE(IsEqualIID(iid, *expected)) << GuidString(iid);
    ComPtr<IConnectionPointContainer> back;
    ASSERT_EQ(p->GetConnectionPointContainer(back.Out()), S_OK);
    EXPECT_EQ(Identity(back.Get()), Identity(object.Get()));
  }

  ComPtr<IEnumConnectionPoints> enumerator;
  ASSERT_EQ(container->EnumConnectionPoints(enumerator.Out()), S_OK);
  IConnectionPoint* got[3] = {};
  ULONG fetched = 9;
  EXPECT_EQ(enumerator->Next(3, got, &fetched), S_FALSE);
  ASSERT_EQ(fetched, 2u);
  EXPECT_EQ(got[0], point2.Get());
  EXPECT_EQ(got[1], point.Get());
  got[0]->Release();
  got[1]->Release();
  EXPECT_EQ(enumerator->Next(1, got, &fetched), S_FALSE);
  EXPECT_EQ(fetched, 0u);
  EXPECT_EQ(enumerator->Reset(), S_OK);
  EXPECT_EQ(enumerator->Skip(2), S_OK);
  EXPECT_EQ(enumerator->Skip(1), S_FALSE);
  enumerator->Reset();
  EXPECT_EQ(enumerator->Skip(1), S_OK);
  ComPtr<IEnumConnectionPoints> clone;
  ASSERT_EQ(enumerator->Clone(clone.Out()), S_OK);
  ASSERT_EQ(clone->Next(1, got, nullptr), S_OK);
  EXPECT_EQ(got[0], point.Get()) << "a clone starts where its original stands";
  got[0]->Release();
}

TEST_F(ObjectTest, SinkWithoutTheEventsInterfaceIsRefused) {
  ComPtr<IConnectionPoint> point = EventsPoint();
  StubSink plain(false);
  DWORD cookie = 77;
  EXPECT_EQ(point->Advise(&plain, &cookie), E_NOINTERFACE);
  EXPECT_EQ(cookie, 77u);
  EXPECT_EQ(plain.refs, 1) << "a refused sink is not kept";
  EXPECT_EQ(point->Advise(nullptr, &cookie), E_POINTER);
  ComPtr<IEnumConnections> e;
  ASSERT_EQ(point->EnumConnections(e.Out()), S_OK);
  EXPECT_TRUE(Walk(e.Get()).empty());
}

TEST_F(ObjectTest, CookiesAreStableSlotsAndFreedSlotsAreReused) {
  ComPtr<IConnectionPoint> point = EventsPoint();
  StubSink a, b, c, d;
  for (StubSink* s : {&a, &b, &c, &d}) s->forbidCalls = true;
  DWORD ca = 0, cb = 0, cc = 0, cd = 0;
  ASSERT_EQ(point->Advise(&a, &ca), S_OK);
  ASSERT_EQ(point->Advise(&b, &cb), S_OK);
  ASSERT_EQ(point->Advise(&c, &cc), S_OK);
  EXPECT_EQ(std::vector<DWORD>({ca, cb, cc}), std::vector<DWORD>({1, 2, 3}));
  EXPECT_EQ(b.refs, 2) << "one counted reference per connection";
  ASSERT_EQ(point->Unadvise(cb), S_OK);
  EXPECT_EQ(b.refs, 1);
  ASSERT_EQ(point->Advise(&d, &cd), S_OK);
  EXPECT_EQ(cd, 2u) << "the lowest empty slot is reused";

  ComPtr<IEnumConnections> e;
  ASSERT_EQ(point->EnumConnections(e.Out()), S_OK);
  using Seen = std::vector<std::pair<IUnknown*, DWORD>>;
  EXPECT_EQ(Walk(e.Get()), (Seen{{&a, 1}, {&d, 2}, {&c, 3}}));

  // Unadvise of cookies that name no connection changes nothing.
  for (DWORD bad : {0ul, 4ul, 100ul, 0xFFFFFFFFul}) EXPECT_EQ(point->Unadvise(bad), CONNECT_E_NOCONNECTION) << bad;
  EXPECT_EQ(point->Unadvise(1), S_OK);
  EXPECT_EQ(point->Unadvise(1), CONNECT_E_NOCONNECTION) << "second Unadvise of the same cookie";
  EXPECT_EQ(a.refs, 1);
  EXPECT_EQ(d.refs, 2);
  EXPECT_EQ(c.refs, 2);
  e.Reset();
  point.Reset();
  object.Reset();
  EXPECT_EQ(d.refs, 1);
  EXPECT_EQ(c.refs, 1);
}

TEST_F(ObjectTest, EnumeratorsSeeTheSlotsOfTheirCreation) {
  ComPtr<IConnectionPoint> point = EventsPoint();
  StubSink a, b, c;
  DWORD ca = 0, cb = 0, cc = 0;
  ASSERT_EQ(point->Advise(&a, &ca), S_OK);
  ASSERT_EQ(point->Advise(&b, &cb), S_OK);
  ComPtr<IEnumConnections> before;
  ASSERT_EQ(point->EnumConnections(before.Out()), S_OK);
  ASSERT_EQ(point->Advise(&c, &cc), S_OK);
  using Seen = std::vector<std::pair<IUnknown*, DWORD>>;
  EXPECT_EQ(Walk(before.Get()), (Seen{{&a, 1}, {&b, 2}})) << "a sink connected later is not reported";

  ASSERT_EQ(point->Unadvise(cb), S_OK);
  before->Reset();
  EXPECT_EQ(Walk(before.Get()), (Seen{{&a, 1}})) << "a sink disconnected later is skipped";

  // Next with a larger count, Skip over occupied slots only, Clone takes the count anew.
  ComPtr<IEnumConnections> e;
  ASSERT_EQ(point->EnumConnections(e.Out()), S_OK);
  CONNECTDATA cd[3] = {};
  ULONG fetched = 0;
  EXPECT_EQ(e->Next(3, cd, &fetched), S_FALSE);
  ASSERT_EQ(fetched, 2u);
  EXPECT_EQ(cd[0].dwCookie, 1u);
  EXPECT_EQ(cd[1].dwCookie, 3u);
  cd[0].pUnk->Release();
  cd[1].pUnk->Release();
  e->Reset();
  EXPECT_EQ(e->Skip(1), S_OK);
  EXPECT_EQ(Walk(e.Get()), (Seen{{&c, 3}}));
  e->Reset();
  EXPECT_EQ(e->Skip(3), S_FALSE);
  e->Reset();
  ComPtr<IEnumConnections> clone;
  ASSERT_EQ(e->Clone(clone.Out()), S_OK);
  StubSink d;
  DWORD cdk = 0;
  ASSERT_EQ(point->Advise(&d, &cdk), S_OK);  // takes slot 2
  EXPECT_EQ(Walk(clone.Get()), (Seen{{&a, 1}, {&d, 2}, {&c, 3}}));

  // An enumerator keeps the object alive.
  point.Reset();
  object.Reset();
  EXPECT_EQ(Server().CanUnloadNow(), S_FALSE);
  e->Reset();
  EXPECT_EQ(Walk(e.Get()).size(), 3u);
  EXPECT_EQ(a.refs, 2);
  e.Reset();
  before.Reset();
  clone.Reset();
  EXPECT_EQ(a.refs, 1);
  EXPECT_EQ(c.refs, 1);
  EXPECT_EQ(d.refs, 1);
}

TEST_F(ObjectTest, DestructionReleasesEverySinkOnceWithoutCallingIt) {
  ComPtr<IConnectionPoint> point = EventsPoint();
  StubSink sinks[4];
  for (StubSink& s : sinks) {
    s.forbidCalls = true;
    DWORD cookie = 0;
    ASSERT_EQ(point->Advise(&s, &cookie), S_OK);
  }
  ASSERT_EQ(point->Unadvise(2), S_OK);
  DWORD cookie = 0;
  ASSERT_EQ(point->Advise(&sinks[1], &cookie), S_OK);
  ASSERT_EQ(point->Advise(&sinks[1], &cookie), S_OK);  // the same sink twice: two connections
  EXPECT_EQ(cookie, 5u);
  EXPECT_EQ(sinks[1].refs, 3);
  point.Reset();
  object.Reset();
  for (StubSink& s : sinks) {
    EXPECT_EQ(s.refs, 1);
    EXPECT_TRUE(s.calls.empty());
  }
}

}  // namespace
}  // namespace vela::wine_test

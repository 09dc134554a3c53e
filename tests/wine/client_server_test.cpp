// The server's entry points, class factory, lifetime counting and type library.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "client_support.h"

namespace vela::wine_test {
namespace {

const CLSID kForeignClsid = {0x12345678, 0x1234, 0x1234, {0x12, 0x34, 0x12, 0x34, 0x56, 0x78, 0x9a, 0xbc}};

// Every test leaves nothing alive: a leaked object or factory reference shows here.
class ServerTest : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_EQ(Server().CanUnloadNow(), S_OK) << "an object or lock outlived its test"; }
};

TEST_F(ServerTest, OrdinalsNameTheFourEntryPoints) {
  const struct {
    WORD ordinal;
    const char* name;
  } exports[] = {
      {1, "DllUnregisterServer"}, {2, "DllRegisterServer"}, {3, "DllCanUnloadNow"}, {4, "DllGetClassObject"}};
  for (const auto& e : exports) {
    FARPROC byName = GetProcAddress(Server().module, e.name);
    FARPROC byOrdinal = GetProcAddress(Server().module, MAKEINTRESOURCEA(e.ordinal));
    ASSERT_NE(byName, nullptr) << e.name;
    EXPECT_EQ(byOrdinal, byName) << e.name << " is not ordinal " << e.ordinal;
  }
  EXPECT_EQ(GetProcAddress(Server().module, MAKEINTRESOURCEA(5)), nullptr);
}

TEST_F(ServerTest, ClassObjectOnlyForVelaCls) {
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(Server().GetClassObject(kForeignClsid, IID_IClassFactory, &out), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(out, nullptr);

  const struct {
    const IID* iid;
    HRESULT expected;
  } cases[] = {{&IID_IUnknown, S_OK},
               {&IID_IClassFactory, S_OK},
               {&IID_IDispatch, E_NOINTERFACE},
               {&IID_IVelaCls, E_NOINTERFACE}};
  for (const auto& c : cases) {
    IUnknown* factory = reinterpret_cast<IUnknown*>(1);
    EXPECT_EQ(Server().GetClassObject(CLSID_VelaCls, *c.iid, reinterpret_cast<void**>(&factory)), c.expected);
    if (c.expected == S_OK) {
      ASSERT_NE(factory, nullptr);
      factory->Release();
    } else {
      EXPECT_EQ(factory, nullptr);
    }
  }
}

TEST_F(ServerTest, CreateInstanceChecksItsArguments) {
  ComPtr<IClassFactory> factory = ClassFactory();
  ASSERT_TRUE(factory);
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IVelaCls, nullptr), E_POINTER);
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IPersist, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  // The refused object was destroyed at once.
  factory.Reset();
  EXPECT_EQ(Server().CanUnloadNow(), S_OK);
}

TEST_F(ServerTest, AggregationRefusedUnlessIUnknownIsAsked) {
  StubOuter outer;
  {
    ComPtr<IClassFactory> factory = ClassFactory();
    ASSERT_TRUE(factory);
    const IID* refused[] = {&IID_IVelaCls, &IID_IDispatch, &IID_IConnectionPointContainer};
    for (const IID* iid : refused) {
      void* out = reinterpret_cast<void*>(1);
      EXPECT_EQ(factory->CreateInstance(&outer, *iid, &out), CLASS_E_NOAGGREGATION);
      EXPECT_EQ(out, nullptr);
    }
  }
  EXPECT_EQ(Server().CanUnloadNow(), S_OK) << "a refused aggregate was counted as live";
  EXPECT_EQ(outer.refs, 1);

  // With IUnknown the object becomes an aggregated part: its interfaces'
  // reference counting and QueryInterface go to the outer object.
  ComPtr<IClassFactory> factory = ClassFactory();
  IUnknown* inner = nullptr;
  ASSERT_EQ(factory->CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&inner)), S_OK);
  factory.Reset();
  ASSERT_NE(inner, nullptr);
  EXPECT_NE(inner, static_cast<IUnknown*>(&outer));
  IVelaCls* velaCls = nullptr;
  ASSERT_EQ(inner->QueryInterface(IID_IVelaCls, reinterpret_cast<void**>(&velaCls)), S_OK);
  EXPECT_EQ(outer.refs, 2) << "the part's interface counts on the outer object";
  const int queries = outer.queries;
  IUnknown* viaPart = nullptr;
  EXPECT_EQ(velaCls->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&viaPart)), S_OK);
  EXPECT_EQ(viaPart, static_cast<IUnknown*>(&outer));
  EXPECT_EQ(outer.queries, queries + 1);
  viaPart->Release();
  velaCls->Release();
  EXPECT_EQ(outer.refs, 1);
  EXPECT_EQ(Server().CanUnloadNow(), S_FALSE) << "the inner object is live";
  EXPECT_EQ(inner->Release(), 0u);
}

TEST_F(ServerTest, CanUnloadNowFollowsLocksFactoryReferencesAndObjects) {
  ASSERT_EQ(Server().CanUnloadNow(), S_OK);
  ComPtr<IClassFactory> factory = ClassFactory();
  EXPECT_EQ(Server().CanUnloadNow(), S_FALSE) << "a client holds the factory";
  EXPECT_EQ(factory->LockServer(TRUE), S_OK);
  EXPECT_EQ(Server().CanUnloadNow(), S_FALSE);
  EXPECT_EQ(factory->LockServer(FALSE), S_OK);
  factory.Reset();
  EXPECT_EQ(Server().CanUnloadNow(), S_OK);

  // A lock outlives the factory reference.
  factory = ClassFactory();
  EXPECT_EQ(factory->LockServer(TRUE), S_OK);
  factory.Reset();
  EXPECT_EQ(Server().CanUnloadNow(), S_FALSE) << "a lock is outstanding";
  factory = ClassFactory();
  EXPECT_EQ(factory->LockServer(FALSE), S_OK);
  factory.Reset();
  EXPECT_EQ(Server().CanUnloadNow(), S_OK);

  // Objects count until their last release; an unlock without a lock does
  // not hide them.
  factory = ClassFactory();
  ComPtr<IVelaCls> object;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IVelaCls, object.OutVoid()), S_OK);
  factory->LockServer(FALSE);
  factory.Reset();
  EXPECT_EQ(Server().CanUnloadNow(), S_FALSE) << "an object is live";
  ComPtr<IVelaCls> second = object;
  object.Reset();
  EXPECT_EQ(Server().CanUnloadNow(), S_FALSE);
  second.Reset();
  EXPECT_EQ(Server().CanUnloadNow(), S_OK);
}

TEST_F(ServerTest, ObjectsAreSeparateInstances) {
  ComPtr<IVelaCls> a = NewObject();
  ComPtr<IVelaCls> b = NewObject();
  ASSERT_TRUE(a && b);
  EXPECT_NE(Identity(a.Get()), Identity(b.Get()));
  Bstr port(L"COM7");
  ASSERT_EQ(a->put_Port(port.Get()), S_OK);
  Bstr value;
  ASSERT_EQ(b->get_Port(value.Out()), S_OK);
  EXPECT_EQ(value.Str(), L"COM3");
}

// --- type library ----------------------------------------------------------

class TypeLibTest : public ServerTest {
 protected:
  void SetUp() override { ASSERT_EQ(LoadTypeLibEx(Server().path.c_str(), REGKIND_NONE, lib.Out()), S_OK); }
  void TearDown() override {
    lib.Reset();
    ServerTest::TearDown();
  }
  ComPtr<ITypeInfo> Info(REFGUID guid) {
    ComPtr<ITypeInfo> info;
    EXPECT_EQ(lib->GetTypeInfoOfGuid(guid, info.Out()), S_OK);
    return info;
  }
  static std::wstring Doc(ITypeInfo* info, MEMBERID id, bool helpString) {
    Bstr name, doc;
    EXPECT_EQ(info->GetDocumentation(id, name.Out(), doc.Out(), nullptr, nullptr), S_OK);
    return helpString ? doc.Str() : name.Str();
  }
  ComPtr<ITypeLib> lib;
};

TEST_F(TypeLibTest, LibraryAttributesAndEntryOrder) {
  TLIBATTR* attr = nullptr;
  ASSERT_EQ(lib->GetLibAttr(&attr), S_OK);
  EXPECT_TRUE(IsEqualGUID(attr->guid, LIBID_VelaCtrl));
  EXPECT_EQ(attr->lcid, 0x0409u);
  // 1.1: IVelaCls2 and IVelaClsEvents2 added beside the unchanged 1.0 entries.
  EXPECT_EQ(attr->wMajorVerNum, 1);
  EXPECT_EQ(attr->wMinorVerNum, 1);
  lib->ReleaseTLibAttr(attr);
  Bstr name, doc;
  ASSERT_EQ(lib->GetDocumentation(-1, name.Out(), doc.Out(), nullptr, nullptr), S_OK);
  EXPECT_EQ(name.Str(), L"VelaCtrl");
  EXPECT_EQ(doc.Str(), L"VelaCtrl Library");

  const struct {
    const wchar_t* name;
    TYPEKIND kind;
    const GUID* guid;
    const wchar_t* help;
  } entries[] = {
      {L"IVelaCls", TKIND_DISPATCH, &IID_IVelaCls, L"Dispatch interface for VelaCls Object"},
      {L"IVelaClsEvents", TKIND_DISPATCH, &DIID_IVelaClsEvents, L"Events interface for VelaCls Object"},
      {L"IVelaCls2", TKIND_DISPATCH, &IID_IVelaCls2, L"Dispatch interface for VelaCls Object, version 1.1"},
      {L"IVelaClsEvents2", TKIND_DISPATCH, &DIID_IVelaClsEvents2, L"Events interface for VelaCls Object, version 1.1"},
      {L"VelaCls", TKIND_COCLASS, &CLSID_VelaCls, L"VelaCls Object"}};
  ASSERT_EQ(lib->GetTypeInfoCount(), std::size(entries));
  for (UINT i = 0; i < std::size(entries); ++i) {
    Bstr entryName, entryHelp;
    ASSERT_EQ(lib->GetDocumentation(static_cast<INT>(i), entryName.Out(), entryHelp.Out(), nullptr, nullptr), S_OK);
    EXPECT_EQ(entryName.Str(), entries[i].name);
    EXPECT_EQ(entryHelp.Str(), entries[i].help);
    TYPEKIND kind;
    ASSERT_EQ(lib->GetTypeInfoType(i, &kind), S_OK);
    EXPECT_EQ(kind, entries[i].kind) << entries[i].name;
    ComPtr<ITypeInfo> info;
    ASSERT_EQ(lib->GetTypeInfo(i, info.Out()), S_OK);
    TYPEATTR* ta = nullptr;
    ASSERT_EQ(info->GetTypeAttr(&ta), S_OK);
    EXPECT_TRUE(IsEqualGUID(ta->guid, *entries[i].guid)) << entries[i].name;
    const WORD flags = ta->wTypeFlags;
    if (i == 0 || i == 2) {
      // Dual, automation-compatible and dispatchable: the flags of the
      // virtual-table form; the dispatch form lacks the automation flag.
      EXPECT_EQ(flags, TYPEFLAG_FDUAL | TYPEFLAG_FDISPATCHABLE);
      HREFTYPE ref;
      ComPtr<ITypeInfo> vt;
      ASSERT_EQ(info->GetRefTypeOfImplType(static_cast<UINT>(-1), &ref), S_OK);
      ASSERT_EQ(info->GetRefTypeInfo(ref, vt.Out()), S_OK);
      TYPEATTR* va = nullptr;
      ASSERT_EQ(vt->GetTypeAttr(&va), S_OK);
      EXPECT_EQ(va->wTypeFlags, TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE);
      vt->ReleaseTypeAttr(va);
      EXPECT_EQ(ta->wMajorVerNum, 1);
      EXPECT_EQ(ta->wMinorVerNum, i == 0 ? 0 : 1) << entries[i].name;
    } else if (i == 1 || i == 3) {
      EXPECT_FALSE(flags & TYPEFLAG_FDUAL);
      EXPECT_TRUE(flags & TYPEFLAG_FDISPATCHABLE);
    } else {
      EXPECT_TRUE(flags & TYPEFLAG_FCANCREATE);
      EXPECT_EQ(ta->wMajorVerNum, 1);
      EXPECT_EQ(ta->wMinorVerNum, 1);
    }
    info->ReleaseTypeAttr(ta);
  }
}

// IVelaCls2 is the default interface and IVelaClsEvents2 the default
// source; the version-1 interfaces stay implemented and a source.
TEST_F(TypeLibTest, ClassImplementsDualDefaultAndEventsSource) {
  ComPtr<ITypeInfo> cls = Info(CLSID_VelaCls);
  ASSERT_TRUE(cls);
  const struct {
    const GUID* iid;
    INT flags;
  } impls[] = {{&IID_IVelaCls2, IMPLTYPEFLAG_FDEFAULT},
               {&IID_IVelaCls, 0},
               {&DIID_IVelaClsEvents2, IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE},
               {&DIID_IVelaClsEvents, IMPLTYPEFLAG_FSOURCE}};
  TYPEATTR* ca = nullptr;
  ASSERT_EQ(cls->GetTypeAttr(&ca), S_OK);
  EXPECT_EQ(ca->cImplTypes, std::size(impls));
  cls->ReleaseTypeAttr(ca);
  for (UINT i = 0; i < std::size(impls); ++i) {
    INT flags = 0;
    ASSERT_EQ(cls->GetImplTypeFlags(i, &flags), S_OK);
    EXPECT_EQ(flags, impls[i].flags) << i;
    HREFTYPE ref;
    ComPtr<ITypeInfo> info;
    ASSERT_EQ(cls->GetRefTypeOfImplType(i, &ref), S_OK);
    ASSERT_EQ(cls->GetRefTypeInfo(ref, info.Out()), S_OK);
    TYPEATTR* ta = nullptr;
    ASSERT_EQ(info->GetTypeAttr(&ta), S_OK);
    EXPECT_TRUE(IsEqualGUID(ta->guid, *impls[i].iid)) << i;
    info->ReleaseTypeAttr(ta);
  }
}

struct Member {
  const wchar_t* name;
  MEMBERID id;
  INVOKEKIND kind;
  std::vector<const wchar_t*> params;  // names; "" for an unnamed parameter
  std::vector<VARTYPE> types;          // parameter types (out parameters as VT_PTR to the type)
};

// Checks the virtual-table form `vtable` against `members`, the first at slot
// `firstSlot`. A method's last parameter is its out / return value when its
// name starts with 'o' (oRetvalD, oMessageId).
void ExpectVtableMembers(ITypeInfo* vtable, const std::vector<Member>& members, UINT firstSlot) {
  TYPEATTR* ta = nullptr;
  ASSERT_EQ(vtable->GetTypeAttr(&ta), S_OK);
  EXPECT_EQ(ta->typekind, TKIND_INTERFACE);
  ASSERT_EQ(ta->cFuncs, members.size());
  vtable->ReleaseTypeAttr(ta);

  for (UINT i = 0; i < members.size(); ++i) {
    const Member& m = members[i];
    FUNCDESC* fd = nullptr;
    ASSERT_EQ(vtable->GetFuncDesc(i, &fd), S_OK);
    EXPECT_EQ(fd->memid, m.id) << i;
    EXPECT_EQ(fd->invkind, m.kind) << i;
    EXPECT_EQ(fd->callconv, CC_STDCALL);
    EXPECT_EQ(fd->elemdescFunc.tdesc.vt, VT_HRESULT);
    EXPECT_EQ(fd->oVft, static_cast<SHORT>((firstSlot + i) * sizeof(void*))) << "virtual-table slot of member " << i;
    ASSERT_EQ(fd->cParams, static_cast<SHORT>(m.params.size())) << i;
    for (SHORT p = 0; p < fd->cParams; ++p) {
      const ELEMDESC& e = fd->lprgelemdescParam[p];
      const bool out = e.paramdesc.wParamFlags & PARAMFLAG_FOUT;
      const bool retval = e.paramdesc.wParamFlags & PARAMFLAG_FRETVAL;
      const bool last = p + 1 == fd->cParams;
      const bool returns = m.kind == INVOKE_PROPERTYGET || (last && m.kind == INVOKE_FUNC && m.params[p][0] == L'o');
      EXPECT_EQ(out, returns) << i << "/" << p;
      EXPECT_EQ(retval, returns) << i << "/" << p;
      if (returns) {
        ASSERT_EQ(e.tdesc.vt, VT_PTR);
        EXPECT_EQ(e.tdesc.lptdesc->vt, m.types[p]) << i << "/" << p;
      } else {
        EXPECT_EQ(e.tdesc.vt, m.types[p]) << i << "/" << p;
      }
    }
    BSTR names[8] = {};
    UINT count = 0;
    ASSERT_EQ(vtable->GetNames(fd->memid, names, 8, &count), S_OK);
    // GetNames looks a property up by identifier; compare the read's names.
    if (m.kind != INVOKE_PROPERTYPUT) {
      ASSERT_EQ(count, 1 + m.params.size()) << i;
      EXPECT_STREQ(names[0], m.name);
      for (size_t p = 0; p < m.params.size(); ++p) EXPECT_STREQ(names[p + 1], m.params[p]) << i << "/" << p;
    }
    for (BSTR& b : names) SysFreeString(b);
    vtable->ReleaseFuncDesc(fd);
  }
}

ComPtr<ITypeInfo> VtableOf(ITypeInfo* disp) {
  HREFTYPE ref;
  ComPtr<ITypeInfo> vtable;
  EXPECT_EQ(disp->GetRefTypeOfImplType(static_cast<UINT>(-1), &ref), S_OK);
  EXPECT_EQ(disp->GetRefTypeInfo(ref, vtable.Out()), S_OK);
  return vtable;
}

// The vtable form of IVelaCls: members in table order after IDispatch's seven.
TEST_F(TypeLibTest, DualInterfaceMembersInTableOrder) {
  const std::vector<Member> members = {
      {L"Port", 201, INVOKE_PROPERTYGET, {L"Value"}, {VT_BSTR}},
      {L"Port", 201, INVOKE_PROPERTYPUT, {L""}, {VT_BSTR}},
      {L"Baudrate", 202, INVOKE_PROPERTYGET, {L"Value"}, {VT_I4}},
      {L"Baudrate", 202, INVOKE_PROPERTYPUT, {L""}, {VT_I4}},
      {L"Pin", 203, INVOKE_PROPERTYGET, {L"Value"}, {VT_BSTR}},
      {L"Pin", 203, INVOKE_PROPERTYPUT, {L""}, {VT_BSTR}},
      {L"DeviceModel", 204, INVOKE_PROPERTYGET, {L"Value"}, {VT_BSTR}},
      {L"Manufacturer", 205, INVOKE_PROPERTYGET, {L"Value"}, {VT_BSTR}},
      {L"DeviceSerial", 206, INVOKE_PROPERTYGET, {L"Value"}, {VT_BSTR}},
      {L"IsOpen", 207, INVOKE_PROPERTYGET, {L"Value"}, {VT_BOOL}},
      {L"Open", 208, INVOKE_FUNC, {}, {}},
      {L"Close", 209, INVOKE_FUNC, {}, {}},
      {L"SendSms",
       210,
       INVOKE_FUNC,
       {L"iDst", L"iMsg", L"iDeliveryReport", L"oRetvalD"},
       {VT_BSTR, VT_BSTR, VT_BOOL, VT_BSTR}},
      {L"Version", 212, INVOKE_PROPERTYGET, {L"Value"}, {VT_BSTR}},
  };
  ComPtr<ITypeInfo> disp = Info(IID_IVelaCls);
  ASSERT_TRUE(disp);
  ComPtr<ITypeInfo> vtable = VtableOf(disp.Get());
  ASSERT_TRUE(vtable);
  ExpectVtableMembers(vtable.Get(), members, 7);
  for (UINT i = 0; i < members.size(); ++i) {
    FUNCDESC* fd = nullptr;
    ASSERT_EQ(vtable->GetFuncDesc(i, &fd), S_OK);
    EXPECT_EQ(Doc(vtable.Get(), fd->memid, true), L"") << "member " << i << " carries a help string";
    vtable->ReleaseFuncDesc(fd);
  }
}

// IVelaCls2 derives from IVelaCls: its own members follow IVelaCls's
// fourteen in the virtual table, with dispatch identifiers from 220 on.
TEST_F(TypeLibTest, SecondInterfaceExtendsTheFirst) {
  const std::vector<Member> members = {
      {L"SendText",
       220,
       INVOKE_FUNC,
       {L"iDst", L"iText", L"iDeliveryReport", L"oMessageId"},
       {VT_BSTR, VT_BSTR, VT_BOOL, VT_BSTR}},
      {L"PartReferences", 221, INVOKE_PROPERTYGET, {L"Value"}, {VT_BSTR}},
      {L"Coding", 222, INVOKE_PROPERTYGET, {L"Value"}, {VT_BSTR}},
      {L"Coding", 222, INVOKE_PROPERTYPUT, {L""}, {VT_BSTR}},
      {L"Languages", 223, INVOKE_PROPERTYGET, {L"Value"}, {VT_BSTR}},
      {L"Languages", 223, INVOKE_PROPERTYPUT, {L""}, {VT_BSTR}},
      {L"MaxParts", 224, INVOKE_PROPERTYGET, {L"Value"}, {VT_I4}},
      {L"MaxParts", 224, INVOKE_PROPERTYPUT, {L""}, {VT_I4}},
      {L"ReadStoredMessages", 225, INVOKE_PROPERTYGET, {L"Value"}, {VT_BOOL}},
      {L"ReadStoredMessages", 225, INVOKE_PROPERTYPUT, {L""}, {VT_BOOL}},
      {L"LockScope", 226, INVOKE_PROPERTYGET, {L"Value"}, {VT_BSTR}},
      {L"LockScope", 226, INVOKE_PROPERTYPUT, {L""}, {VT_BSTR}},
      {L"LastError", 227, INVOKE_PROPERTYGET, {L"Value"}, {VT_BSTR}},
      {L"ReassemblyTimeout", 228, INVOKE_PROPERTYGET, {L"Value"}, {VT_I4}},
      {L"ReassemblyTimeout", 228, INVOKE_PROPERTYPUT, {L""}, {VT_I4}},
  };
  ComPtr<ITypeInfo> disp = Info(IID_IVelaCls2);
  ASSERT_TRUE(disp);
  TYPEATTR* da = nullptr;
  ASSERT_EQ(disp->GetTypeAttr(&da), S_OK);
  EXPECT_EQ(da->wTypeFlags, TYPEFLAG_FDUAL | TYPEFLAG_FDISPATCHABLE);
  disp->ReleaseTypeAttr(da);
  ComPtr<ITypeInfo> vtable = VtableOf(disp.Get());
  ASSERT_TRUE(vtable);
  ExpectVtableMembers(vtable.Get(), members, 7 + 14);

  // Its base is IVelaCls.
  HREFTYPE ref;
  ComPtr<ITypeInfo> base;
  ASSERT_EQ(vtable->GetRefTypeOfImplType(0, &ref), S_OK);
  ASSERT_EQ(vtable->GetRefTypeInfo(ref, base.Out()), S_OK);
  TYPEATTR* ba = nullptr;
  ASSERT_EQ(base->GetTypeAttr(&ba), S_OK);
  EXPECT_TRUE(IsEqualGUID(ba->guid, IID_IVelaCls));
  base->ReleaseTypeAttr(ba);

  // Names of both generations resolve through IVelaCls2's dispatch form.
  const std::pair<const wchar_t*, DISPID> names[] = {{L"Port", 201},     {L"SendSms", 210},   {L"Version", 212},
                                                     {L"SendText", 220}, {L"LockScope", 226}, {L"LastError", 227}};
  for (const auto& [name, id] : names) {
    std::wstring n = name;
    LPOLESTR p = n.data();
    MEMBERID found = 0;
    EXPECT_EQ(disp->GetIDsOfNames(&p, 1, &found), S_OK) << n;
    EXPECT_EQ(found, id) << n;
  }
}

void ExpectEventMembers(ITypeInfo* info, const std::vector<Member>& events) {
  TYPEATTR* ta = nullptr;
  ASSERT_EQ(info->GetTypeAttr(&ta), S_OK);
  ASSERT_EQ(ta->cFuncs, events.size());
  info->ReleaseTypeAttr(ta);
  for (UINT i = 0; i < events.size(); ++i) {
    FUNCDESC* fd = nullptr;
    ASSERT_EQ(info->GetFuncDesc(i, &fd), S_OK);
    EXPECT_EQ(fd->memid, events[i].id);
    EXPECT_EQ(fd->funckind, FUNC_DISPATCH);
    EXPECT_EQ(fd->elemdescFunc.tdesc.vt, VT_HRESULT);
    ASSERT_EQ(fd->cParams, static_cast<SHORT>(events[i].params.size()));
    for (SHORT p = 0; p < fd->cParams; ++p) {
      EXPECT_EQ(fd->lprgelemdescParam[p].tdesc.vt, events[i].types[p]) << i << "/" << p;
      EXPECT_TRUE(fd->lprgelemdescParam[p].paramdesc.wParamFlags & PARAMFLAG_FIN);
    }
    BSTR names[8] = {};
    UINT count = 0;
    ASSERT_EQ(info->GetNames(fd->memid, names, 8, &count), S_OK);
    ASSERT_EQ(count, 1 + events[i].params.size());
    EXPECT_STREQ(names[0], events[i].name);
    for (size_t p = 0; p < events[i].params.size(); ++p) EXPECT_STREQ(names[p + 1], events[i].params[p]);
    for (BSTR& b : names) SysFreeString(b);
    info->ReleaseFuncDesc(fd);
  }
}

const std::vector<Member>& VersionOneEvents() {
  static const std::vector<Member> events = {
      {L"OnReceiveMessage", 201, INVOKE_FUNC, {L"iFrm", L"iMsg", L"iSmscTime"}, {VT_BSTR, VT_BSTR, VT_DATE}},
      {L"OnDeliveryReport",
       202,
       INVOKE_FUNC,
       {L"iMsgID", L"iSmscTime", L"iEventTime", L"iDelivered"},
       {VT_BSTR, VT_DATE, VT_DATE, VT_BOOL}},
  };
  return events;
}

TEST_F(TypeLibTest, EventsInterfaceMembersAndParameterOrder) {
  ComPtr<ITypeInfo> info = Info(DIID_IVelaClsEvents);
  ASSERT_TRUE(info);
  ExpectEventMembers(info.Get(), VersionOneEvents());
}

// IVelaClsEvents2 repeats the version-1 events exactly, then adds the
// whole-message events.
TEST_F(TypeLibTest, SecondEventsInterfaceKeepsTheFirstsEvents) {
  std::vector<Member> events = VersionOneEvents();
  events.push_back({L"OnReceiveText",
                    203,
                    INVOKE_FUNC,
                    {L"iFrm", L"iText", L"iSmscTime", L"iParts", L"iComplete"},
                    {VT_BSTR, VT_BSTR, VT_DATE, VT_I4, VT_BOOL}});
  events.push_back({L"OnMessageStatus", 204, INVOKE_FUNC, {L"iMessageId", L"iDelivered"}, {VT_BSTR, VT_BOOL}});
  ComPtr<ITypeInfo> info = Info(DIID_IVelaClsEvents2);
  ASSERT_TRUE(info);
  TYPEATTR* ta = nullptr;
  ASSERT_EQ(info->GetTypeAttr(&ta), S_OK);
  EXPECT_EQ(ta->typekind, TKIND_DISPATCH);
  EXPECT_FALSE(ta->wTypeFlags & TYPEFLAG_FDUAL);
  info->ReleaseTypeAttr(ta);
  ExpectEventMembers(info.Get(), events);
}

}  // namespace
}  // namespace vela::wine_test

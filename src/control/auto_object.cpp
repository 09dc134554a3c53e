#include "control/auto_object.h"

#include <cstdio>
#include <new>

#include "platform/codepage.h"

namespace vela::control {

namespace {

std::string NarrowFromW(const std::wstring& text) {
  return platform::NarrowFromWide(std::u16string(text.begin(), text.end()));
}

[[noreturn]] void RaiseClassError(const char* format, const std::wstring& className) {
  std::string name = NarrowFromW(className);
  std::string text(format);
  text.replace(text.find("%s"), 2, name);
  throw EOleError(text);
}

// Shows the error of a failed creation: no owner window, caption "RAZ Error",
// error icon, brought to the foreground. A full stop is appended when the last
// character sorts after '.'.
void ShowCreationError(std::string message) {
  if (!message.empty() && static_cast<unsigned char>(message.back()) > '.') message += '.';
  std::wstring text = WStringFromNarrow(message);
  MessageBoxW(nullptr, text.c_str(), L"RAZ Error", MB_SETFOREGROUND | MB_ICONERROR);
}

}  // namespace

// --- TAutoObjectFactory ---------------------------------------------------

TAutoObjectFactory::TAutoObjectFactory(TComServer& server, Creator creator, const std::wstring& className,
                                       REFCLSID clsid, REFIID implementedIid)
    : server_(server), creator_(creator), clsid_(clsid), className_(className) {
  ITypeLib* lib = server.TypeLib();
  if (!lib || FAILED(lib->GetTypeInfoOfGuid(clsid, classInfo_.Out())))
    RaiseClassError("Type information missing for class %s", className_);

  BSTR name = nullptr;
  BSTR doc = nullptr;
  if (SUCCEEDED(classInfo_->GetDocumentation(MEMBERID_NIL, &name, &doc, nullptr, nullptr))) {
    if (name) className_.assign(name, SysStringLen(name));
    if (doc) description_.assign(doc, SysStringLen(doc));
  }
  SysFreeString(name);
  SysFreeString(doc);
  progId_ = server.ServerName() + L"." + className_;

  TYPEATTR* attr = nullptr;
  OleCheck(classInfo_->GetTypeAttr(&attr));
  WORD implCount = attr->cImplTypes;
  classInfo_->ReleaseTypeAttr(attr);
  for (UINT i = 0; i < implCount; ++i) {
    INT flags = 0;
    HREFTYPE ref = 0;
    ComPtr<ITypeInfo> info;
    if (FAILED(classInfo_->GetImplTypeFlags(i, &flags))) continue;
    const bool source = (flags & IMPLTYPEFLAG_FSOURCE) != 0;
    // Non-default interfaces matter only as further event sources.
    if (!(flags & IMPLTYPEFLAG_FDEFAULT) && !source) continue;
    if (FAILED(classInfo_->GetRefTypeOfImplType(i, &ref)) || FAILED(classInfo_->GetRefTypeInfo(ref, info.Out())))
      continue;
    TYPEATTR* ia = nullptr;
    if (FAILED(info->GetTypeAttr(&ia))) continue;
    IID iid = ia->guid;
    TYPEKIND kind = ia->typekind;
    WORD typeFlags = ia->wTypeFlags;
    info->ReleaseTypeAttr(ia);
    if (source) {
      if ((flags & IMPLTYPEFLAG_FDEFAULT) && !eventTypeInfo_) {
        eventTypeInfo_ = info;
        eventIid_ = iid;
        eventIids_.insert(eventIids_.begin(), iid);
      } else {
        eventIids_.push_back(iid);
      }
      continue;
    }
    if (dispTypeInfo_) continue;
    dispTypeInfo_ = info;
    dispIid_ = iid;
    dispInvokeInfo_ = info;
    // A dual interface is invoked through its virtual-table form.
    if (kind == TKIND_DISPATCH && (typeFlags & TYPEFLAG_FDUAL)) {
      HREFTYPE vtableRef = 0;
      ComPtr<ITypeInfo> vtable;
      if (SUCCEEDED(info->GetRefTypeOfImplType(static_cast<UINT>(-1), &vtableRef)) &&
          SUCCEEDED(info->GetRefTypeInfo(vtableRef, vtable.Out())))
        dispInvokeInfo_ = vtable;
    }
  }
  if (!dispTypeInfo_) RaiseClassError("Incorrect type information for class %s", className_);
  if (!IsEqualIID(dispIid_, implementedIid)) RaiseClassError("Dispatch interface missing from class %s", className_);
}

STDMETHODIMP TAutoObjectFactory::QueryInterface(REFIID iid, void** out) {
  return QueryOwnInterface<IClassFactory>(this, IID_IClassFactory, iid, out);
}

STDMETHODIMP_(ULONG) TAutoObjectFactory::AddRef() {
  server_.CountFactoryRef(true);
  return static_cast<ULONG>(server_.FactoryCount());
}

STDMETHODIMP_(ULONG) TAutoObjectFactory::Release() {
  server_.CountFactoryRef(false);
  return static_cast<ULONG>(server_.FactoryCount());
}

STDMETHODIMP TAutoObjectFactory::CreateInstance(IUnknown* outer, REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (outer && !IsEqualIID(iid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;
  TAutoObject* object = nullptr;
  try {
    object = creator_(*this, outer);
    object->InitializeObject();
    object->AfterConstruction();
  } catch (...) {
    std::string message = CurrentExceptionMessage();
    if (object) object->InnerUnknown()->Release();
    try {
      ShowCreationError(message);
    } catch (...) {}
    return E_UNEXPECTED;
  }
  // The creator's reference goes after the query: an object nobody asked
  // for is destroyed at once.
  IUnknown* inner = object->InnerUnknown();
  HRESULT hr = inner->QueryInterface(iid, out);
  inner->Release();
  return hr;
}

STDMETHODIMP TAutoObjectFactory::LockServer(BOOL lock) {
  HRESULT hr = CoLockObjectExternal(static_cast<IClassFactory*>(this), lock, TRUE);
  server_.CountLock(lock != FALSE);
  return hr;
}

void TAutoObjectFactory::UpdateRegistry(bool registering) {
  const std::wstring classId = GuidToString(clsid_);
  const std::wstring classKey = L"CLSID\\" + classId;
  if (registering) {
    std::wstring path = server_.ModuleFileName();
    if (path.find(L' ') != std::wstring::npos) {
      // Some hosts split an unquoted server path at the blank.
      std::wstring shortPath(MAX_PATH, L'\0');
      DWORD n = GetShortPathNameW(path.c_str(), shortPath.data(), static_cast<DWORD>(shortPath.size()));
      if (n > shortPath.size()) {
        shortPath.resize(n);
        n = GetShortPathNameW(path.c_str(), shortPath.data(), n);
      }
      // Without a short name (8.3 names switched off) the full path is kept.
      if (n > 0 && n < shortPath.size()) path = shortPath.substr(0, n);
    }
    const TLIBATTR& lib = server_.LibAttr();
    wchar_t version[32];
    std::swprintf(version, 32, L"%d.%d", lib.wMajorVerNum, lib.wMinorVerNum);
    CreateRegKey(classKey, nullptr, description_);
    CreateRegKey(classKey + L"\\InprocServer32", nullptr, path);
    CreateRegKey(classKey + L"\\InprocServer32", L"ThreadingModel", L"Apartment");
    CreateRegKey(progId_, nullptr, description_);
    CreateRegKey(progId_ + L"\\Clsid", nullptr, classId);
    CreateRegKey(classKey + L"\\ProgID", nullptr, progId_);
    CreateRegKey(classKey + L"\\Version", nullptr, version);
    CreateRegKey(classKey + L"\\TypeLib", nullptr, GuidToString(lib.guid));
  } else {
    DeleteRegKey(classKey + L"\\TypeLib");
    DeleteRegKey(classKey + L"\\Version");
    DeleteRegKey(classKey + L"\\ProgID");
    DeleteRegKey(progId_ + L"\\Clsid");
    DeleteRegKey(progId_);
    DeleteRegKey(classKey + L"\\InprocServer32");
    DeleteRegKey(classKey);
  }
}

// --- TAutoObject ----------------------------------------------------------

TAutoObject::TAutoObject(TAutoObjectFactory& factory, IUnknown* outer)
    : factory_(factory), controller_(outer ? outer : static_cast<IUnknown*>(&inner_)) {
  factory_.Server().CountObject(true);
}

TAutoObject::~TAutoObject() { factory_.Server().CountObject(false); }

void TAutoObject::InitializeObject() {}
void TAutoObject::AfterConstruction() {}
void TAutoObject::BeforeDestruction() {}

void TAutoObject::Destroy() {
  if (destroying_) return;
  destroying_ = true;
  refCount_ = 1;  // calls made while tearing down must not destroy again
  try {
    BeforeDestruction();
  } catch (...) {}
  delete this;
}

STDMETHODIMP TAutoObject::InnerUnknownImpl::QueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (IsEqualIID(iid, IID_IUnknown)) {
    *out = static_cast<IUnknown*>(this);
    AddRef();
    return S_OK;
  }
  void* p = nullptr;
  try {
    p = owner_.OwnInterface(iid);
  } catch (...) {
    p = nullptr;
  }
  *out = p;
  return p ? S_OK : E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) TAutoObject::InnerUnknownImpl::AddRef() { return static_cast<ULONG>(++owner_.refCount_); }

STDMETHODIMP_(ULONG) TAutoObject::InnerUnknownImpl::Release() {
  long count = --owner_.refCount_;
  if (count == 0) owner_.Destroy();
  return static_cast<ULONG>(count);
}

STDMETHODIMP TAutoObject::QueryInterface(REFIID iid, void** out) { return controller_->QueryInterface(iid, out); }
STDMETHODIMP_(ULONG) TAutoObject::AddRef() { return controller_->AddRef(); }
STDMETHODIMP_(ULONG) TAutoObject::Release() { return controller_->Release(); }

void* TAutoObject::OwnInterface(REFIID iid) {
  IUnknown* p = nullptr;
  if (IsEqualIID(iid, IID_IDispatch) || IsEqualIID(iid, factory_.DispIntfEntry()))
    p = DispatchInterface();
  else if (IsEqualIID(iid, IID_IProvideClassInfo))
    p = static_cast<IProvideClassInfo*>(this);
  else if (IsEqualIID(iid, IID_ISupportErrorInfo))
    p = static_cast<ISupportErrorInfo*>(this);
  if (p) p->AddRef();
  return p;
}

STDMETHODIMP TAutoObject::GetClassInfo(ITypeInfo** out) {
  if (!out) return E_POINTER;
  *out = factory_.ClassInfo();
  if (*out) (*out)->AddRef();
  return *out ? S_OK : E_UNEXPECTED;
}

STDMETHODIMP TAutoObject::InterfaceSupportsErrorInfo(REFIID iid) {
  // IUnknown is answered by the unknown itself, not by OwnInterface.
  if (IsEqualIID(iid, IID_IUnknown)) return S_OK;
  void* p = nullptr;
  try {
    p = OwnInterface(iid);
  } catch (...) {
    p = nullptr;
  }
  if (!p) return S_FALSE;
  static_cast<IUnknown*>(p)->Release();
  return S_OK;
}

HRESULT TAutoObject::DispGetTypeInfoCount(UINT* count) {
  if (!count) return E_POINTER;
  *count = 1;
  return S_OK;
}

HRESULT TAutoObject::DispGetTypeInfo(UINT index, LCID, ITypeInfo** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (index != 0) return DISP_E_BADINDEX;
  *out = factory_.DispTypeInfo();
  (*out)->AddRef();
  return S_OK;
}

HRESULT TAutoObject::DispGetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
  return ::DispGetIDsOfNames(factory_.DispTypeInfo(), names, count, ids);
}

HRESULT TAutoObject::DispInvokeMember(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                                      EXCEPINFO* excep, UINT* argErr) {
  // A write by reference reaches the property's only write member: the
  // request is passed on as one that allows both kinds of write.
  if (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) flags |= DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF;
  return ::DispInvoke(DispatchInterface(), factory_.DispInvokeInfo(), id, flags, params, result, excep, argErr);
}

HRESULT TAutoObject::SafeCallException() { return HandleSafeCallException(factory_.ErrorIID(), factory_.ProgID()); }

HRESULT TAutoObject::SafeCallException(REFIID iid) { return HandleSafeCallException(iid, factory_.ProgID()); }

}  // namespace vela::control

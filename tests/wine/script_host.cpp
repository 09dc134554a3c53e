// A small Windows Script Host for the tests: runs one VBScript (.vbs) or
// JScript (.js) file with the system's script engines and offers a WScript
// object with Echo, Sleep (which dispatches this thread's messages, so events
// of objects the script created arrive), CreateObject(progid[, prefix]) (with
// a prefix the new object's events are connected as by ConnectObject),
// ConnectObject(object, prefix), DisconnectObject(object) and Quit([code]).
//
// Usage: vela_script_host SCRIPT
// Exit code: 0 after a clean run, the code given to Quit, 2 for a script error,
// 3 when the engine cannot be set up.
#include <activscp.h>
#include <ocidl.h>
#include <oleauto.h>
#include <windows.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

// IActiveScriptParse comes in a 32-bit and a 64-bit form with different IIDs.
const IID kIidActiveScriptParse32 = {0xbb1a2ae2, 0xa4f9, 0x11cf, {0x8f, 0x20, 0x00, 0x80, 0x5f, 0x2c, 0xd0, 0x64}};
const IID kIidActiveScriptParse64 = {0xc7ef7658, 0xe1ee, 0x480e, {0x97, 0xea, 0xd5, 0x2c, 0xb4, 0xd7, 0x6d, 0x17}};
const IID& IidActiveScriptParse() { return sizeof(void*) == 8 ? kIidActiveScriptParse64 : kIidActiveScriptParse32; }

std::string Utf8(const wchar_t* text, size_t length) {
  if (!text || length == 0) return {};
  int n = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), out.data(), n, nullptr, nullptr);
  return out;
}
std::string Utf8(BSTR text) { return Utf8(text, text ? SysStringLen(text) : 0); }

std::wstring WideFromUtf8(const std::string& text) {
  if (text.empty()) return {};
  int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
  return out;
}

void PrintLine(const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

// Dispatches this thread's messages for `ms` milliseconds.
void PumpMessages(DWORD ms) {
  const DWORD start = GetTickCount();
  for (;;) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    const DWORD elapsed = GetTickCount() - start;
    if (elapsed >= ms) return;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, ms - elapsed, QS_ALLINPUT);
  }
}

// Minimal reference counting for the host's own objects.
template <class Base>
class RefCounted : public Base {
 public:
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
  STDMETHODIMP_(ULONG) Release() override {
    ULONG n = --refs_;
    if (n == 0) delete this;
    return n;
  }

 protected:
  virtual ~RefCounted() = default;

 private:
  ULONG refs_ = 1;
};

class Host;

// An event sink for ConnectObject: answers the object's events interface and
// calls the script's <prefix><event name> routine with the event's arguments.
class EventSink final : public RefCounted<IDispatch> {
 public:
  EventSink(Host& host, const IID& events, ITypeInfo* eventInfo, std::wstring prefix)
      : host_(host), events_(events), eventInfo_(eventInfo), prefix_(std::move(prefix)) {
    eventInfo_->AddRef();
  }
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) || IsEqualIID(iid, events_)) {
      *out = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP GetTypeInfoCount(UINT* count) override {
    *count = 0;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT* result, EXCEPINFO* excep,
                      UINT*) override;

 private:
  ~EventSink() override { eventInfo_->Release(); }

  Host& host_;
  IID events_;
  ITypeInfo* eventInfo_;
  std::wstring prefix_;
};

struct Connection {
  IUnknown* object;  // identity of the connected object
  IConnectionPoint* point;
  DWORD cookie;
};

// The WScript object.
class WScriptObject final : public RefCounted<IDispatch> {
 public:
  explicit WScriptObject(Host& host) : host_(host) {}
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch)) {
      *out = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP GetTypeInfoCount(UINT* count) override {
    *count = 0;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override;
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO* excep,
                      UINT*) override;

 private:
  Host& host_;
};

class Host final : public RefCounted<IActiveScriptSite> {
 public:
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IActiveScriptSite)) {
      *out = static_cast<IActiveScriptSite*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP GetLCID(LCID* lcid) override {
    *lcid = LOCALE_USER_DEFAULT;
    return S_OK;
  }
  STDMETHODIMP GetItemInfo(LPCOLESTR name, DWORD mask, IUnknown** item, ITypeInfo** info) override {
    if (info) *info = nullptr;
    if (item) *item = nullptr;
    if (!name || lstrcmpiW(name, L"WScript") != 0) return TYPE_E_ELEMENTNOTFOUND;
    if ((mask & SCRIPTINFO_IUNKNOWN) && item) {
      *item = wscript_;
      wscript_->AddRef();
    }
    return S_OK;
  }
  STDMETHODIMP GetDocVersionString(BSTR*) override { return E_NOTIMPL; }
  STDMETHODIMP OnScriptTerminate(const VARIANT*, const EXCEPINFO*) override { return S_OK; }
  STDMETHODIMP OnStateChange(SCRIPTSTATE) override { return S_OK; }
  STDMETHODIMP OnScriptError(IActiveScriptError* error) override {
    if (quitting_) return S_OK;
    EXCEPINFO ei{};
    error->GetExceptionInfo(&ei);
    DWORD context = 0;
    ULONG line = 0;
    LONG column = 0;
    error->GetSourcePosition(&context, &line, &column);
    std::ostringstream text;
    text << "script error at line " << (line + 1) << ": " << Utf8(ei.bstrDescription) << " (0x" << std::hex
         << static_cast<unsigned long>(ei.scode) << ")";
    PrintLine(text.str());
    SysFreeString(ei.bstrSource);
    SysFreeString(ei.bstrDescription);
    SysFreeString(ei.bstrHelpFile);
    failed_ = true;
    return S_OK;
  }
  STDMETHODIMP OnEnterScript() override { return S_OK; }
  STDMETHODIMP OnLeaveScript() override { return S_OK; }

  int Run(const std::wstring& path);

  // WScript members.
  HRESULT ConnectObject(IUnknown* object, const std::wstring& prefix);
  HRESULT DisconnectObject(IUnknown* object);
  void Quit(int code) {
    quitting_ = true;
    exitCode_ = code;
  }
  bool Quitting() const { return quitting_; }
  IDispatch* ScriptDispatch() {
    IDispatch* dispatch = nullptr;
    if (engine_) engine_->GetScriptDispatch(nullptr, &dispatch);
    return dispatch;
  }

 private:
  ~Host() override = default;
  void DisconnectAll();

  IActiveScript* engine_ = nullptr;
  WScriptObject* wscript_ = nullptr;
  std::vector<Connection> connections_;
  bool quitting_ = false;
  bool failed_ = false;
  int exitCode_ = 0;
};

enum : DISPID { kEcho = 1, kSleep, kConnectObject, kDisconnectObject, kQuit, kCreateObject };

STDMETHODIMP WScriptObject::GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
  static const std::map<std::wstring, DISPID> members = {{L"echo", kEcho},
                                                         {L"sleep", kSleep},
                                                         {L"connectobject", kConnectObject},
                                                         {L"disconnectobject", kDisconnectObject},
                                                         {L"quit", kQuit},
                                                         {L"createobject", kCreateObject}};
  HRESULT hr = S_OK;
  for (UINT i = 0; i < count; ++i) {
    std::wstring name = names[i];
    for (auto& c : name) c = static_cast<wchar_t>(towlower(c));
    auto found = i == 0 ? members.find(name) : members.end();
    ids[i] = found == members.end() ? DISPID_UNKNOWN : found->second;
    if (found == members.end()) hr = DISP_E_UNKNOWNNAME;
  }
  return hr;
}

// Argument `n` (in call order) of a DISPPARAMS, converted to `vt`.
HRESULT Arg(DISPPARAMS* params, UINT n, VARTYPE vt, VARIANT* out) {
  VariantInit(out);
  if (!params || n >= params->cArgs) return DISP_E_BADPARAMCOUNT;
  VARIANT* src = &params->rgvarg[params->cArgs - 1 - n];
  return VariantChangeType(out, src, 0, vt);
}

STDMETHODIMP WScriptObject::Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT* result, EXCEPINFO*,
                                   UINT*) {
  if (result) VariantInit(result);
  switch (id) {
    case kEcho: {
      std::string line;
      for (UINT i = 0; params && i < params->cArgs; ++i) {
        VARIANT v;
        if (FAILED(Arg(params, i, VT_BSTR, &v))) return DISP_E_TYPEMISMATCH;
        if (i) line += ' ';
        line += Utf8(v.bstrVal);
        VariantClear(&v);
      }
      PrintLine(line);
      return S_OK;
    }
    case kSleep: {
      VARIANT v;
      if (FAILED(Arg(params, 0, VT_I4, &v))) return DISP_E_TYPEMISMATCH;
      PumpMessages(static_cast<DWORD>(v.lVal < 0 ? 0 : v.lVal));
      return S_OK;
    }
    case kConnectObject:
    case kDisconnectObject: {
      VARIANT object;
      if (FAILED(Arg(params, 0, VT_UNKNOWN, &object)) || !object.punkVal) return DISP_E_TYPEMISMATCH;
      HRESULT hr;
      if (id == kConnectObject) {
        VARIANT prefix;
        if (FAILED(Arg(params, 1, VT_BSTR, &prefix))) {
          VariantClear(&object);
          return DISP_E_TYPEMISMATCH;
        }
        hr = host_.ConnectObject(object.punkVal, std::wstring(prefix.bstrVal, SysStringLen(prefix.bstrVal)));
        VariantClear(&prefix);
      } else {
        hr = host_.DisconnectObject(object.punkVal);
      }
      VariantClear(&object);
      return hr;
    }
    case kCreateObject: {
      VARIANT progid;
      if (FAILED(Arg(params, 0, VT_BSTR, &progid))) return DISP_E_TYPEMISMATCH;
      CLSID clsid{};
      HRESULT hr = CLSIDFromProgID(progid.bstrVal, &clsid);
      VariantClear(&progid);
      IDispatch* object = nullptr;
      if (SUCCEEDED(hr))
        hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, reinterpret_cast<void**>(&object));
      if (FAILED(hr)) return hr;
      VARIANT prefix;
      if (params && params->cArgs > 1) {
        if (FAILED(Arg(params, 1, VT_BSTR, &prefix))) {
          object->Release();
          return DISP_E_TYPEMISMATCH;
        }
        hr = host_.ConnectObject(object, std::wstring(prefix.bstrVal, SysStringLen(prefix.bstrVal)));
        VariantClear(&prefix);
        if (FAILED(hr)) {
          object->Release();
          return hr;
        }
      }
      if (result) {
        result->vt = VT_DISPATCH;
        result->pdispVal = object;
      } else {
        object->Release();
      }
      return S_OK;
    }
    case kQuit: {
      VARIANT code;
      host_.Quit(SUCCEEDED(Arg(params, 0, VT_I4, &code)) ? code.lVal : 0);
      // Ends the script: the engine unwinds with this error, which the host ignores.
      return E_ABORT;
    }
    default:
      return DISP_E_MEMBERNOTFOUND;
  }
}

STDMETHODIMP EventSink::Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT* result, EXCEPINFO*, UINT*) {
  if (host_.Quitting()) return S_OK;
  BSTR name = nullptr;
  UINT count = 0;
  if (FAILED(eventInfo_->GetNames(id, &name, 1, &count)) || count == 0) return S_OK;
  std::wstring routine = prefix_ + std::wstring(name, SysStringLen(name));
  SysFreeString(name);
  IDispatch* script = host_.ScriptDispatch();
  if (!script) return S_OK;
  LPOLESTR names[] = {routine.data()};
  DISPID routineId = DISPID_UNKNOWN;
  HRESULT hr = script->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &routineId);
  if (SUCCEEDED(hr)) {
    // The engine reports an error inside the routine through OnScriptError;
    // the sink's result tells the raiser.
    EXCEPINFO ei{};
    hr = script->Invoke(routineId, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, params, result, &ei, nullptr);
    SysFreeString(ei.bstrSource);
    SysFreeString(ei.bstrDescription);
    SysFreeString(ei.bstrHelpFile);
  } else {
    hr = S_OK;  // no handler for this event
  }
  script->Release();
  return hr;
}

HRESULT Host::ConnectObject(IUnknown* object, const std::wstring& prefix) {
  IProvideClassInfo* provide = nullptr;
  HRESULT hr = object->QueryInterface(IID_IProvideClassInfo, reinterpret_cast<void**>(&provide));
  if (FAILED(hr)) return hr;
  ITypeInfo* classInfo = nullptr;
  hr = provide->GetClassInfo(&classInfo);
  provide->Release();
  if (FAILED(hr)) return hr;
  // The default source interface of the class is the events interface.
  ITypeInfo* eventInfo = nullptr;
  IID events{};
  TYPEATTR* attr = nullptr;
  classInfo->GetTypeAttr(&attr);
  for (UINT i = 0; attr && i < attr->cImplTypes && !eventInfo; ++i) {
    INT flags = 0;
    HREFTYPE ref = 0;
    classInfo->GetImplTypeFlags(i, &flags);
    if ((flags & IMPLTYPEFLAG_FDEFAULT) && (flags & IMPLTYPEFLAG_FSOURCE) &&
        SUCCEEDED(classInfo->GetRefTypeOfImplType(i, &ref)) && SUCCEEDED(classInfo->GetRefTypeInfo(ref, &eventInfo))) {
      TYPEATTR* ea = nullptr;
      eventInfo->GetTypeAttr(&ea);
      events = ea->guid;
      eventInfo->ReleaseTypeAttr(ea);
    }
  }
  if (attr) classInfo->ReleaseTypeAttr(attr);
  classInfo->Release();
  if (!eventInfo) return E_NOINTERFACE;

  IConnectionPointContainer* container = nullptr;
  IConnectionPoint* point = nullptr;
  hr = object->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container));
  if (SUCCEEDED(hr)) {
    hr = container->FindConnectionPoint(events, &point);
    container->Release();
  }
  if (SUCCEEDED(hr)) {
    auto* sink = new EventSink(*this, events, eventInfo, prefix);
    DWORD cookie = 0;
    hr = point->Advise(sink, &cookie);
    sink->Release();
    IUnknown* identity = nullptr;
    object->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity));
    if (SUCCEEDED(hr))
      connections_.push_back({identity, point, cookie});
    else {
      point->Release();
      if (identity) identity->Release();
    }
  }
  eventInfo->Release();
  return hr;
}

HRESULT Host::DisconnectObject(IUnknown* object) {
  IUnknown* identity = nullptr;
  object->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity));
  HRESULT hr = S_FALSE;
  for (auto it = connections_.begin(); it != connections_.end();) {
    if (it->object == identity) {
      hr = it->point->Unadvise(it->cookie);
      it->point->Release();
      it->object->Release();
      it = connections_.erase(it);
    } else {
      ++it;
    }
  }
  if (identity) identity->Release();
  return hr;
}

void Host::DisconnectAll() {
  for (auto& c : connections_) {
    c.point->Unadvise(c.cookie);
    c.point->Release();
    c.object->Release();
  }
  connections_.clear();
}

int Host::Run(const std::wstring& path) {
  std::ifstream file(path.c_str(), std::ios::binary);
  if (!file) {
    PrintLine("cannot read the script file");
    return 3;
  }
  std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) bytes.erase(0, 3);
  std::wstring code = WideFromUtf8(bytes);

  const bool jscript = path.size() > 3 && lstrcmpiW(path.c_str() + path.size() - 3, L".js") == 0;
  CLSID engineId{};
  HRESULT hr = CLSIDFromProgID(jscript ? L"JScript" : L"VBScript", &engineId);
  if (SUCCEEDED(hr))
    hr = CoCreateInstance(engineId, nullptr, CLSCTX_INPROC_SERVER, IID_IActiveScript,
                          reinterpret_cast<void**>(&engine_));
  IActiveScriptParse* parse = nullptr;
  if (SUCCEEDED(hr)) hr = engine_->QueryInterface(IidActiveScriptParse(), reinterpret_cast<void**>(&parse));
  wscript_ = new WScriptObject(*this);
  if (SUCCEEDED(hr)) hr = parse->InitNew();
  if (SUCCEEDED(hr)) hr = engine_->SetScriptSite(this);
  if (SUCCEEDED(hr)) hr = engine_->AddNamedItem(L"WScript", SCRIPTITEM_ISVISIBLE);
  if (FAILED(hr)) {
    char text[64];
    std::snprintf(text, sizeof text, "cannot set up the script engine (0x%08lx)", static_cast<unsigned long>(hr));
    PrintLine(text);
    if (parse) parse->Release();
    if (engine_) engine_->Release();
    wscript_->Release();
    return 3;
  }
  engine_->SetScriptState(SCRIPTSTATE_STARTED);
  EXCEPINFO ei{};
  parse->ParseScriptText(code.c_str(), nullptr, nullptr, nullptr, 0, 0, SCRIPTTEXT_ISVISIBLE, nullptr, &ei);
  SysFreeString(ei.bstrSource);
  SysFreeString(ei.bstrDescription);
  SysFreeString(ei.bstrHelpFile);

  DisconnectAll();
  engine_->Close();
  parse->Release();
  engine_->Release();
  engine_ = nullptr;
  wscript_->Release();
  wscript_ = nullptr;
  if (quitting_) return exitCode_;
  return failed_ ? 2 : 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    PrintLine("usage: vela_script_host SCRIPT");
    return 3;
  }
  if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 3;
  auto* host = new Host();
  int code = host->Run(argv[1]);
  host->Release();
  CoUninitialize();
  return code;
}

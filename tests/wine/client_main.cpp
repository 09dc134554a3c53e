// Entry of the C++ client tests: loads VelaCtrl.dll by path inside a
// single-threaded apartment and runs the tests.
// Usage: vela_client_test --dll=PATH [--port=COM5] [--own-number=+15550000000] [--control=FIFO]
//        [gtest options]
#include <gtest/gtest.h>

#include <cstdio>
#include <cwchar>
#include <algorithm>

#include "client_support.h"

namespace vela::wine_test {

namespace {
ServerDll g_server;
std::wstring g_port;
std::wstring g_ownNumber = L"+15550000000";
std::wstring g_control;
}  // namespace

ServerDll& Server() { return g_server; }
const std::wstring& ModemPort() { return g_port; }
const std::wstring& OwnNumber() { return g_ownNumber; }
const std::wstring& ControlPath() { return g_control; }

bool ControlLine(const std::string& line) {
  if (g_control.empty()) return false;
  HANDLE fifo = CreateFileW(g_control.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (fifo == INVALID_HANDLE_VALUE) return false;
  const std::string text = line + "\n";
  DWORD written = 0;
  const bool ok =
      WriteFile(fifo, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) && written == text.size();
  CloseHandle(fifo);
  return ok;
}

SinkCall::SinkCall(const SinkCall& other) : id(other.id), flags(other.flags), args(other.args.size()) {
  for (size_t i = 0; i < args.size(); ++i) {
    VariantInit(&args[i]);
    VariantCopy(&args[i], const_cast<VARIANT*>(&other.args[i]));
  }
}

SinkCall::~SinkCall() {
  for (VARIANT& v : args) VariantClear(&v);
}

STDMETHODIMP StubSink::QueryInterface(REFIID iid, void** out) {
  bool answered = IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch);
  for (const IID& e : events) answered = answered || IsEqualIID(iid, e);
  if (answered) {
    *out = static_cast<IDispatch*>(this);
    AddRef();
    return S_OK;
  }
  *out = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP StubSink::GetTypeInfoCount(UINT* count) {
  *count = 0;
  return S_OK;
}

STDMETHODIMP StubSink::Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                              EXCEPINFO* excep, UINT*) {
  if (forbidCalls) ADD_FAILURE() << "sink called (dispid " << id << ") where no call may happen";
  SinkCall call;
  call.id = id;
  call.flags = flags;
  if (params) {
    EXPECT_EQ(params->cNamedArgs, 0u);
    for (UINT i = params->cArgs; i-- > 0;) {
      VARIANT copy;
      VariantInit(&copy);
      VariantCopy(&copy, &params->rgvarg[i]);
      call.args.push_back(copy);
    }
  }
  EXPECT_EQ(result, nullptr) << "events return no value";
  calls.push_back(call);
  if (onCall) onCall(calls.back());
  if (failWith == DISP_E_EXCEPTION && excep) {
    *excep = EXCEPINFO{};
    excep->scode = E_FAIL;
    excep->bstrDescription = SysAllocString(failDescription.c_str());
  }
  return failWith;
}

STDMETHODIMP StubOuter::QueryInterface(REFIID iid, void** out) {
  ++queries;
  if (IsEqualIID(iid, IID_IUnknown)) {
    *out = this;
    AddRef();
    return S_OK;
  }
  *out = nullptr;
  return E_NOINTERFACE;
}

bool PumpUntil(const std::function<bool()>& done, DWORD ms) {
  const DWORD start = GetTickCount();
  for (;;) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    if (done()) return true;
    const DWORD elapsed = GetTickCount() - start;
    if (elapsed >= ms) return done();
    MsgWaitForMultipleObjects(0, nullptr, FALSE, std::min<DWORD>(ms - elapsed, 50), QS_ALLINPUT);
  }
}

ComPtr<IClassFactory> ClassFactory() {
  ComPtr<IClassFactory> factory;
  HRESULT hr = Server().GetClassObject(CLSID_VelaCls, IID_IClassFactory, factory.OutVoid());
  EXPECT_EQ(hr, S_OK);
  return factory;
}

ComPtr<IVelaCls> NewObject() {
  ComPtr<IVelaCls> object;
  ComPtr<IClassFactory> factory = ClassFactory();
  if (factory) {
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IVelaCls, object.OutVoid()), S_OK);
  }
  return object;
}

IUnknown* Identity(IUnknown* p) {
  IUnknown* identity = nullptr;
  if (p && SUCCEEDED(p->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)))) identity->Release();
  return identity;
}

std::string GuidString(REFGUID guid) {
  wchar_t text[40] = {};
  StringFromGUID2(guid, text, 40);
  return std::string(text, text + wcslen(text));
}

}  // namespace vela::wine_test

int wmain(int argc, wchar_t** argv) {
  using namespace vela::wine_test;
  std::vector<std::string> narrow;
  for (int i = 0; i < argc; ++i) {
    std::wstring arg = argv[i];
    if (arg.rfind(L"--dll=", 0) == 0)
      g_server.path = arg.substr(6);
    else if (arg.rfind(L"--port=", 0) == 0)
      g_port = arg.substr(7);
    else if (arg.rfind(L"--own-number=", 0) == 0)
      g_ownNumber = arg.substr(13);
    else if (arg.rfind(L"--control=", 0) == 0)
      g_control = arg.substr(10);
    else
      narrow.emplace_back(arg.begin(), arg.end());
  }
  std::vector<char*> args;
  for (auto& a : narrow) args.push_back(a.data());
  int count = static_cast<int>(args.size());
  ::testing::InitGoogleTest(&count, args.data());

  if (g_server.path.empty()) {
    std::fprintf(stderr, "usage: vela_client_test --dll=PATH [--port=COMn] [gtest options]\n");
    return 2;
  }
  if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 2;
  g_server.module = LoadLibraryW(g_server.path.c_str());
  if (!g_server.module) {
    std::fprintf(stderr, "cannot load the server (error %lu)\n", GetLastError());
    return 2;
  }
  auto entry = [](const char* name) { return reinterpret_cast<void*>(GetProcAddress(g_server.module, name)); };
  g_server.GetClassObject = reinterpret_cast<decltype(g_server.GetClassObject)>(entry("DllGetClassObject"));
  g_server.CanUnloadNow = reinterpret_cast<decltype(g_server.CanUnloadNow)>(entry("DllCanUnloadNow"));
  g_server.RegisterServer = reinterpret_cast<decltype(g_server.RegisterServer)>(entry("DllRegisterServer"));
  g_server.UnregisterServer = reinterpret_cast<decltype(g_server.UnregisterServer)>(entry("DllUnregisterServer"));
  if (!g_server.GetClassObject || !g_server.CanUnloadNow || !g_server.RegisterServer || !g_server.UnregisterServer) {
    std::fprintf(stderr, "the server lacks an entry point\n");
    return 2;
  }
  int result = RUN_ALL_TESTS();
  CoUninitialize();
  return result;
}

// Helpers of the C++ client tests: the server DLL loaded by path, counted
// strings, stub sinks and an outer object for aggregation.
#pragma once

#include <ocidl.h>
#include <oleauto.h>
#include <windows.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "VelaCtrl_h.h"
#include "control/com_ptr.h"

namespace vela::wine_test {

using control::ComPtr;

// The server under test, loaded with LoadLibrary (never registered for these calls).
struct ServerDll {
  HMODULE module = nullptr;
  std::wstring path;
  HRESULT(STDAPICALLTYPE* GetClassObject)(REFCLSID, REFIID, void**) = nullptr;
  HRESULT(STDAPICALLTYPE* CanUnloadNow)() = nullptr;
  HRESULT(STDAPICALLTYPE* RegisterServer)() = nullptr;
  HRESULT(STDAPICALLTYPE* UnregisterServer)() = nullptr;
};
ServerDll& Server();
// The COM port linked to the simulated modem ("COM5"), empty when none.
const std::wstring& ModemPort();
// Number the simulated modem loops messages back from.
const std::wstring& OwnNumber();
// The simulated modem's control FIFO (Windows path), empty when none.
const std::wstring& ControlPath();
// Writes one control line to the simulated modem; false when there is no FIFO.
bool ControlLine(const std::string& line);

class Bstr {
 public:
  Bstr() = default;
  explicit Bstr(const wchar_t* text) : b_(SysAllocString(text)) {}
  explicit Bstr(const std::wstring& text) : b_(SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}
  ~Bstr() { SysFreeString(b_); }
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  BSTR* Out() {
    SysFreeString(b_);
    b_ = nullptr;
    return &b_;
  }
  BSTR Get() const { return b_; }
  std::wstring Str() const { return b_ ? std::wstring(b_, SysStringLen(b_)) : std::wstring(); }
  bool IsNull() const { return b_ == nullptr; }

 private:
  BSTR b_ = nullptr;
};

// One call received by a stub sink: the dispatch identifier and the arguments
// in declared order (the reverse of DISPPARAMS' layout).
struct SinkCall {
  DISPID id = 0;
  WORD flags = 0;
  std::vector<VARIANT> args;
  SinkCall() = default;
  SinkCall(const SinkCall& other);
  SinkCall& operator=(const SinkCall&) = delete;
  ~SinkCall();
};

// A stub event sink that counts its references and records its calls. Lives
// on the test's stack: the count reaching zero does not free it.
class StubSink final : public IDispatch {
 public:
  // Answers the version-1 events interface (or no events interface at all).
  explicit StubSink(bool implementsEvents = true) {
    if (implementsEvents) events.push_back(DIID_IVelaClsEvents);
  }
  explicit StubSink(std::vector<IID> answered) : events(std::move(answered)) {}
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
  STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++refs); }
  STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(--refs); }
  STDMETHODIMP GetTypeInfoCount(UINT* count) override;
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO* excep,
                      UINT* argErr) override;

  long refs = 1;  // the test's own reference
  std::vector<SinkCall> calls;
  // When set, Invoke records the call and then fails with this code (with
  // DISP_E_EXCEPTION: the description below).
  HRESULT failWith = S_OK;
  std::wstring failDescription;
  bool forbidCalls = false;  // any Invoke is a test failure
  std::function<void(const SinkCall&)> onCall;
  std::vector<IID> events;  // the events interfaces QueryInterface answers
};

// An outer object for aggregation: counts references and QueryInterface calls.
class StubOuter final : public IUnknown {
 public:
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
  STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++refs); }
  STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(--refs); }
  long refs = 1;
  int queries = 0;
};

// Dispatches this thread's messages until `done` holds or `ms` pass.
bool PumpUntil(const std::function<bool()>& done, DWORD ms);

ComPtr<IClassFactory> ClassFactory();
ComPtr<IVelaCls> NewObject();
IUnknown* Identity(IUnknown* p);  // not counted
std::string GuidString(REFGUID guid);

}  // namespace vela::wine_test

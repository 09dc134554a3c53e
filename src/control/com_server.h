// Server bookkeeping of the in-process automation server: the live-object and
// factory-reference counts that decide DllCanUnloadNow, the type library loaded
// from the DLL's own file, and the class factories. Plus the error conversion
// every automation member uses so that no C++ exception leaves through COM.
//
// Threads: the counts are atomic; Start() may be called from any thread (the
// first call loads the type library and creates the factories, under a lock).
#pragma once

#include <oaidl.h>
#include <windows.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/errors.h"
#include "control/com_ptr.h"

namespace vela::control {

class TAutoObjectFactory;

// An error that carries a COM or Win32 result code (a failed platform call, a
// refused interface query). Automation members return its code when negative.
class EOleSysError : public Exception {
 public:
  EOleSysError(const std::string& message, HRESULT code) : Exception(message), code_(code) {}
  explicit EOleSysError(HRESULT code);  // message: the system's text for the code
  HRESULT Code() const { return code_; }

 private:
  HRESULT code_;
};

// An automation error without a code ("Type information missing for class ...").
class EOleError : public Exception {
 public:
  using Exception::Exception;
};

// Throws EOleSysError when `hr` is a failure code.
void OleCheck(HRESULT hr);

// Called inside a catch block: creates an error object (identifier `iid`,
// source `source`, description = the exception's message, no help file),
// installs it for the calling thread and returns the result code for the
// caller: the exception's own code when it carries a negative one, else
// E_UNEXPECTED.
HRESULT HandleSafeCallException(REFIID iid, const std::wstring& source);

// The message text of the exception being handled (inside a catch block).
std::string CurrentExceptionMessage();

class TComServer {
 public:
  static TComServer& Instance();

  // Remembers the DLL's module handle (DllMain).
  void SetModule(HMODULE module) { module_ = module; }
  HMODULE Module() const { return module_; }
  // Full path of the DLL file.
  std::wstring ModuleFileName() const;

  // Loads the type library and creates the class factories once. Throws when
  // the type library cannot be loaded or a factory rejects it; a later call
  // tries again.
  void Start();

  ITypeLib* TypeLib() const { return typeLib_.Get(); }
  // Name of the type library ("VelaCtrl"), first half of every program identifier.
  const std::wstring& ServerName() const { return serverName_; }
  const TLIBATTR& LibAttr() const { return libAttr_; }

  // The factory for `clsid`, or null.
  TAutoObjectFactory* FindFactory(REFCLSID clsid) const;

  // Live objects: control objects that exist plus LockServer locks.
  void CountObject(bool created);
  // LockServer: counts like an object, but an unlock without a lock is ignored
  // so that a stray unlock cannot hide live objects from DllCanUnloadNow.
  void CountLock(bool lock);
  void CountFactoryRef(bool added);
  long ObjectCount() const { return objectCount_.load(); }
  long FactoryCount() const { return factoryCount_.load(); }
  bool CanUnloadNow() const { return objectCount_.load() <= 0 && factoryCount_.load() <= 0; }

  // DllRegisterServer / DllUnregisterServer. Throws at the first failing step.
  void UpdateRegistry(bool registering);

 private:
  TComServer() = default;

  HMODULE module_ = nullptr;
  std::mutex startLock_;
  bool started_ = false;
  ComPtr<ITypeLib> typeLib_;
  TLIBATTR libAttr_{};
  std::wstring serverName_;
  std::vector<std::unique_ptr<TAutoObjectFactory>> factories_;
  std::atomic<long> objectCount_{0};
  std::atomic<long> lockCount_{0};
  std::atomic<long> factoryCount_{0};
};

// Registry helpers under HKEY_CLASSES_ROOT. CreateRegKey throws
// EOleError("Error creating system registry entry"); DeleteRegKey ignores failures.
void CreateRegKey(const std::wstring& key, const wchar_t* valueName, const std::wstring& value);
void DeleteRegKey(const std::wstring& key);
// "{XXXXXXXX-XXXX-...}" in upper case.
std::wstring GuidToString(REFGUID guid);

// Conversions between BSTR / wide strings and the 8-bit code page.
std::u16string WideFromBstr(BSTR text);
std::wstring WStringFromNarrow(const std::string& text);
// A new BSTR (the caller owns it); throws std::bad_alloc when out of memory.
BSTR BstrFromWide(const std::u16string& text);
BSTR BstrFromNarrow(const std::string& text);

}  // namespace vela::control

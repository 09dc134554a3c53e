#include "control/com_server.h"

#include <oleauto.h>

#include <cstdio>
#include <new>
#include <stdexcept>

#include "control/auto_object.h"
#include "platform/codepage.h"

namespace vela::control {

// Creates the class factories of this server (defined with the classes).
void CreateClassFactories(TComServer& server, std::vector<std::unique_ptr<TAutoObjectFactory>>& factories);

namespace {

std::string SystemMessage(HRESULT code) {
  wchar_t* buffer = nullptr;
  DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::u16string text;
  if (n && buffer) text.assign(reinterpret_cast<const char16_t*>(buffer), n);
  if (buffer) LocalFree(buffer);
  while (!text.empty() && (text.back() == u'\r' || text.back() == u'\n' || text.back() == u' ')) text.pop_back();
  if (text.empty()) {
    char hex[48];
    std::snprintf(hex, sizeof hex, "OLE error %08lX", static_cast<unsigned long>(code));
    return hex;
  }
  return platform::NarrowFromWide(text);
}

}  // namespace

EOleSysError::EOleSysError(HRESULT code) : Exception(SystemMessage(code)), code_(code) {}

void OleCheck(HRESULT hr) {
  if (FAILED(hr)) throw EOleSysError(hr);
}

std::string CurrentExceptionMessage() {
  try {
    throw;
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "Unknown exception";
  }
}

HRESULT HandleSafeCallException(REFIID iid, const std::wstring& source) {
  HRESULT result = E_UNEXPECTED;
  std::string message;
  try {
    throw;
  } catch (const EOleSysError& e) {
    if (e.Code() < 0) result = e.Code();
    message = e.what();
  } catch (const std::exception& e) {
    message = e.what();
  } catch (...) {
    message = "Unknown exception";
  }
  // Building the error object must not throw either: on any failure the
  // caller still gets its result code, only without the description.
  try {
    ICreateErrorInfo* create = nullptr;
    if (SUCCEEDED(CreateErrorInfo(&create))) {
      ComPtr<ICreateErrorInfo> creator = ComPtr<ICreateErrorInfo>::Adopt(create);
      std::wstring description = WStringFromNarrow(message);
      creator->SetGUID(iid);
      creator->SetSource(const_cast<LPOLESTR>(source.c_str()));
      creator->SetDescription(const_cast<LPOLESTR>(description.c_str()));
      creator->SetHelpContext(0);
      creator->SetHelpFile(nullptr);
      ComPtr<IErrorInfo> info;
      if (SUCCEEDED(creator->QueryInterface(IID_IErrorInfo, info.OutVoid()))) SetErrorInfo(0, info.Get());
    }
  } catch (...) {}
  return result;
}

TComServer& TComServer::Instance() {
  static TComServer server;
  return server;
}

std::wstring TComServer::ModuleFileName() const {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    DWORD n = GetModuleFileNameW(module_, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) throw EOleSysError(HRESULT_FROM_WIN32(GetLastError()));
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

void TComServer::Start() {
  std::lock_guard<std::mutex> lock(startLock_);
  if (started_) return;
  ComPtr<ITypeLib> lib;
  OleCheck(LoadTypeLibEx(ModuleFileName().c_str(), REGKIND_NONE, lib.Out()));
  TLIBATTR* attr = nullptr;
  OleCheck(lib->GetLibAttr(&attr));
  libAttr_ = *attr;
  lib->ReleaseTLibAttr(attr);
  BSTR name = nullptr;
  OleCheck(lib->GetDocumentation(MEMBERID_NIL, &name, nullptr, nullptr, nullptr));
  serverName_.assign(name ? name : L"", name ? SysStringLen(name) : 0);
  SysFreeString(name);
  typeLib_ = lib;
  std::vector<std::unique_ptr<TAutoObjectFactory>> factories;
  CreateClassFactories(*this, factories);
  factories_ = std::move(factories);
  started_ = true;
}

TAutoObjectFactory* TComServer::FindFactory(REFCLSID clsid) const {
  for (const auto& factory : factories_)
    if (IsEqualCLSID(factory->ClassID(), clsid)) return factory.get();
  return nullptr;
}

void TComServer::CountObject(bool created) { objectCount_ += created ? 1 : -1; }

void TComServer::CountLock(bool lock) {
  if (lock) {
    ++lockCount_;
    ++objectCount_;
    return;
  }
  long locks = lockCount_.load();
  while (locks > 0) {
    if (lockCount_.compare_exchange_weak(locks, locks - 1)) {
      --objectCount_;
      return;
    }
  }
}

void TComServer::CountFactoryRef(bool added) { factoryCount_ += added ? 1 : -1; }

void TComServer::UpdateRegistry(bool registering) {
  Start();
  std::wstring path = ModuleFileName();
  if (registering) {
    std::wstring helpDir = path.substr(0, path.find_last_of(L"\\/") + 1);
    if (helpDir.size() > 3 && (helpDir.back() == L'\\' || helpDir.back() == L'/')) helpDir.pop_back();
    OleCheck(RegisterTypeLib(typeLib_.Get(), path.data(), helpDir.data()));
  } else {
    OleCheck(UnRegisterTypeLib(libAttr_.guid, libAttr_.wMajorVerNum, libAttr_.wMinorVerNum, libAttr_.lcid,
                               libAttr_.syskind));
  }
  for (const auto& factory : factories_) factory->UpdateRegistry(registering);
}

void CreateRegKey(const std::wstring& key, const wchar_t* valueName, const std::wstring& value) {
  HKEY handle = nullptr;
  LONG status = RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE,
                                nullptr, &handle, nullptr);
  if (status == ERROR_SUCCESS) {
    status = RegSetValueExW(handle, valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                            static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(handle);
  }
  if (status != ERROR_SUCCESS) throw EOleError("Error creating system registry entry");
}

void DeleteRegKey(const std::wstring& key) { RegDeleteKeyW(HKEY_CLASSES_ROOT, key.c_str()); }

std::wstring GuidToString(REFGUID guid) {
  wchar_t text[40] = {};
  StringFromGUID2(guid, text, 40);
  return text;
}

std::u16string WideFromBstr(BSTR text) {
  if (!text) return {};
  return std::u16string(reinterpret_cast<const char16_t*>(text), SysStringLen(text));
}

std::wstring WStringFromNarrow(const std::string& text) {
  std::u16string wide = platform::WideFromNarrow(text);
  return std::wstring(wide.begin(), wide.end());
}

BSTR BstrFromWide(const std::u16string& text) {
  BSTR result = SysAllocStringLen(reinterpret_cast<const OLECHAR*>(text.data()), static_cast<UINT>(text.size()));
  if (!result) throw std::bad_alloc();
  return result;
}

BSTR BstrFromNarrow(const std::string& text) { return BstrFromWide(platform::WideFromNarrow(text)); }

}  // namespace vela::control

// The four entry points of the in-process server.
#include <windows.h>

#include "control/auto_object.h"
#include "control/com_server.h"

using vela::control::TAutoObjectFactory;
using vela::control::TComServer;

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  // Only the module handle here: loading the type library waits for the first
  // entry-point call, outside the loader lock.
  // Thread notifications stay on: the static C++ runtime's threads need them.
  if (reason == DLL_PROCESS_ATTACH) TComServer::Instance().SetModule(instance);
  return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  try {
    TComServer& server = TComServer::Instance();
    server.Start();
    TAutoObjectFactory* factory = server.FindFactory(clsid);
    if (!factory) return CLASS_E_CLASSNOTAVAILABLE;
    return factory->QueryInterface(iid, out);
  } catch (...) {
    return E_UNEXPECTED;
  }
}

STDAPI DllCanUnloadNow() { return TComServer::Instance().CanUnloadNow() ? S_OK : S_FALSE; }

namespace {

HRESULT UpdateRegistry(bool registering) {
  try {
    TComServer::Instance().UpdateRegistry(registering);
    return S_OK;
  } catch (...) {
    return E_FAIL;
  }
}

}  // namespace

STDAPI DllRegisterServer() { return UpdateRegistry(true); }

STDAPI DllUnregisterServer() { return UpdateRegistry(false); }

// Automation objects and their class factory.
//
// TAutoObjectFactory creates the objects of one coclass and carries what it
// read from the type library: the class entry, the default (dual) interface
// and the source (events) interfaces, the default one first. TAutoObject is the base of every
// object it creates: reference counting with optional aggregation, IDispatch
// through the dual interface's type information, IProvideClassInfo,
// ISupportErrorInfo, and the error objects of failed members.
//
// Threads: objects live in the single-threaded apartment that created them and
// are called on that thread only; the factory may be called from any thread.
#pragma once

#include <ocidl.h>
#include <oleauto.h>
#include <windows.h>

#include <atomic>
#include <string>
#include <vector>

#include "control/com_ptr.h"
#include "control/com_server.h"

namespace vela::control {

class TAutoObject;

class TAutoObjectFactory final : public IClassFactory {
 public:
  // Makes a new, not yet initialised object (reference count 1, held by the
  // caller); `outer` is the controlling unknown when aggregated, else null.
  using Creator = TAutoObject* (*)(TAutoObjectFactory& factory, IUnknown* outer);

  // Reads the class from the server's type library. `implementedIid` is the
  // dispatch interface the C++ class implements; `className` names the class
  // in the errors raised before its type information is found. Throws EOleError:
  // "Type information missing for class %s", "Incorrect type information for
  // class %s", "Dispatch interface missing from class %s".
  TAutoObjectFactory(TComServer& server, Creator creator, const std::wstring& className, REFCLSID clsid,
                     REFIID implementedIid);
  TAutoObjectFactory(const TAutoObjectFactory&) = delete;
  TAutoObjectFactory& operator=(const TAutoObjectFactory&) = delete;

  // IUnknown: the counts feed DllCanUnloadNow; the factory lives as long as the library.
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;
  // IClassFactory
  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** out) override;
  STDMETHODIMP LockServer(BOOL lock) override;

  TComServer& Server() const { return server_; }
  const CLSID& ClassID() const { return clsid_; }
  const std::wstring& ClassName() const { return className_; }
  const std::wstring& Description() const { return description_; }
  // "<type library name>.<class name>"
  const std::wstring& ProgID() const { return progId_; }
  ITypeInfo* ClassInfo() const { return classInfo_.Get(); }
  // The dispatch type information of the default interface (what
  // IDispatch::GetTypeInfo hands out), and its virtual-table form used to invoke.
  ITypeInfo* DispTypeInfo() const { return dispTypeInfo_.Get(); }
  ITypeInfo* DispInvokeInfo() const { return dispInvokeInfo_.Get(); }
  const IID& DispIntfEntry() const { return dispIid_; }
  // Identifier reported in error objects: the default interface's.
  const IID& ErrorIID() const { return dispIid_; }
  // The default source interface.
  ITypeInfo* EventTypeInfo() const { return eventTypeInfo_.Get(); }
  const IID& EventIID() const { return eventIid_; }
  bool HasEvents() const { return static_cast<bool>(eventTypeInfo_); }
  // Every source interface of the class: the default one first, then the
  // others in the class entry's order.
  const std::vector<IID>& EventIIDs() const { return eventIids_; }

  // Writes or removes this class's registry keys (after the type library's).
  void UpdateRegistry(bool registering);

 private:
  TComServer& server_;
  Creator creator_;
  CLSID clsid_;
  std::wstring className_;
  std::wstring description_;
  std::wstring progId_;
  ComPtr<ITypeInfo> classInfo_;
  ComPtr<ITypeInfo> dispTypeInfo_;
  ComPtr<ITypeInfo> dispInvokeInfo_;
  IID dispIid_{};
  ComPtr<ITypeInfo> eventTypeInfo_;
  IID eventIid_{};
  std::vector<IID> eventIids_;
};

class TAutoObject : public IProvideClassInfo, public ISupportErrorInfo {
 public:
  TAutoObject(TAutoObjectFactory& factory, IUnknown* outer);
  TAutoObject(const TAutoObject&) = delete;
  TAutoObject& operator=(const TAutoObject&) = delete;

  // IUnknown of every interface but the inner unknown: goes to the
  // controlling unknown (the outer object when aggregated).
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;
  // IProvideClassInfo: the coclass entry.
  STDMETHODIMP GetClassInfo(ITypeInfo** out) override;
  // ISupportErrorInfo: S_OK for every interface the object implements.
  STDMETHODIMP InterfaceSupportsErrorInfo(REFIID iid) override;

  // The non-delegating unknown (what an aggregating outer object holds).
  IUnknown* InnerUnknown() { return &inner_; }
  // The controlling unknown: the outer object, or the inner unknown.
  IUnknown* Controller() const { return controller_; }
  TAutoObjectFactory& Factory() const { return factory_; }

  // Run by the factory after construction, in this order.
  virtual void InitializeObject();
  virtual void AfterConstruction();

 protected:
  // Run when the last reference goes, before the C++ destructor.
  virtual void BeforeDestruction();
  virtual ~TAutoObject();

  // The object's own interfaces (the inner unknown's QueryInterface). Returns
  // an AddRef'ed pointer or null. Subclasses add theirs and call the base.
  virtual void* OwnInterface(REFIID iid);
  // The object's dual interface, seen as IDispatch.
  virtual IDispatch* DispatchInterface() = 0;

  // IDispatch, for the subclass's dual interface to forward to.
  HRESULT DispGetTypeInfoCount(UINT* count);
  HRESULT DispGetTypeInfo(UINT index, LCID lcid, ITypeInfo** out);
  HRESULT DispGetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids);
  HRESULT DispInvokeMember(DISPID id, REFIID iid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                           EXCEPINFO* excep, UINT* argErr);

  // For automation members, inside a catch block: installs the error object
  // (naming the default interface, or `iid`) and returns the result code.
  HRESULT SafeCallException();
  HRESULT SafeCallException(REFIID iid);

 private:
  class InnerUnknownImpl final : public IUnknown {
   public:
    explicit InnerUnknownImpl(TAutoObject& owner) : owner_(owner) {}
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

   private:
    TAutoObject& owner_;
  };

  void Destroy();

  TAutoObjectFactory& factory_;
  InnerUnknownImpl inner_{*this};
  IUnknown* controller_;
  std::atomic<long> refCount_{1};  // the creator's reference
  bool destroying_ = false;
};

}  // namespace vela::control

// TVelaCls: the control object clients create (coclass VelaCls). A thin shell
// around one modem driver: its properties are the driver's settings and
// identity, its methods call the driver, and the driver's two callbacks become
// the events OnReceiveMessage and OnDeliveryReport on every connected sink.
// Texts cross between the automation surface's UTF-16 and the driver's 8-bit
// code page; message texts are limited to 160 characters.
//
// Threads: created in a single-threaded apartment and called only on its
// thread; the driver dispatches that thread's messages while it waits for the
// modem, so events and other calls can arrive while a call has not returned.
#pragma once

#include <memory>

#include "VelaCtrl_h.h"
#include "common/types.h"
#include "control/auto_object_events.h"

namespace vela {
class TVuZVela;
}

namespace vela::control {

class TVelaCls final : public TAutoObjectWithEvents, public IVelaCls {
 public:
  static constexpr const char* kVersion = "ORVEX SMS ActiveX Control Version 3.0";

  TVelaCls(TAutoObjectFactory& factory, IUnknown* outer);

  void AfterConstruction() override;

  // IUnknown and IDispatch of IVelaCls
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override { return TAutoObject::QueryInterface(iid, out); }
  STDMETHODIMP_(ULONG) AddRef() override { return TAutoObject::AddRef(); }
  STDMETHODIMP_(ULONG) Release() override { return TAutoObject::Release(); }
  STDMETHODIMP GetTypeInfoCount(UINT* count) override { return DispGetTypeInfoCount(count); }
  STDMETHODIMP GetTypeInfo(UINT index, LCID lcid, ITypeInfo** out) override {
    return DispGetTypeInfo(index, lcid, out);
  }
  STDMETHODIMP GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) override {
    return DispGetIDsOfNames(iid, names, count, lcid, ids);
  }
  STDMETHODIMP Invoke(DISPID id, REFIID iid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                      EXCEPINFO* excep, UINT* argErr) override {
    return DispInvokeMember(id, iid, lcid, flags, params, result, excep, argErr);
  }

  // IVelaCls
  STDMETHODIMP get_Port(BSTR* Value) override;
  STDMETHODIMP put_Port(BSTR value) override;
  STDMETHODIMP get_Baudrate(LONG* Value) override;
  STDMETHODIMP put_Baudrate(LONG value) override;
  STDMETHODIMP get_Pin(BSTR* Value) override;
  STDMETHODIMP put_Pin(BSTR value) override;
  STDMETHODIMP get_DeviceModel(BSTR* Value) override;
  STDMETHODIMP get_Manufacturer(BSTR* Value) override;
  STDMETHODIMP get_DeviceSerial(BSTR* Value) override;
  STDMETHODIMP get_IsOpen(VARIANT_BOOL* Value) override;
  STDMETHODIMP Open() override;
  STDMETHODIMP Close() override;
  STDMETHODIMP SendSms(BSTR iDst, BSTR iMsg, VARIANT_BOOL iDeliveryReport, BSTR* oRetvalD) override;
  STDMETHODIMP get_Version(BSTR* Value) override;

  // The driver's callbacks: raise the events on every connected sink.
  void DoReceiveMessage(const ByteString& originator, const ByteString& text, DateTime serviceCentreTime);
  void DoDeliveryReport(const ByteString& reference, bool delivered, DateTime serviceCentreTime,
                        DateTime dischargeTime);

 protected:
  void BeforeDestruction() override;
  IDispatch* DispatchInterface() override { return static_cast<IVelaCls*>(this); }

 private:
  ~TVelaCls() override;

  template <class Body>
  HRESULT SafeCall(Body&& body);
  template <class Get>
  HRESULT GetText(BSTR* value, Get&& get);

  std::unique_ptr<TVuZVela> Modem;
};

// Cuts a message text as the control does: first to 255 characters, then to
// its first 160.
ByteString CutMessageText(const ByteString& text);

}  // namespace vela::control

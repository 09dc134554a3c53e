// TVelaCls: the control object clients create (coclass VelaCls). A thin shell
// around one modem driver: its properties are the driver's settings and
// identity, its methods call the driver, and the driver's callbacks become
// events on the connected sinks.
//
// Two generations of the surface live side by side on one object:
//  - IVelaCls / IVelaClsEvents: SendSms and the per-part events
//    OnReceiveMessage / OnDeliveryReport; texts cross through the 8-bit code
//    page and are limited to 160 characters.
//  - IVelaCls2 (derived from IVelaCls, the default interface) /
//    IVelaClsEvents2 (the default source): SendText sends Unicode text of any
//    length as one concatenated message; OnReceiveText reports whole
//    reassembled messages and OnMessageStatus a sent message's delivery once
//    every part has its report. The per-part events go to the sinks of both
//    connection points; the new events only to IVelaClsEvents2 sinks.
//
// Threads: created in a single-threaded apartment and called only on its
// thread; the driver dispatches that thread's messages while it waits for the
// modem, so events and other calls can arrive while a call has not returned.
#pragma once

#include <memory>
#include <vector>

#include "VelaCtrl_h.h"
#include "coding/reassembly.h"
#include "coding/text_coding.h"
#include "common/types.h"
#include "control/auto_object_events.h"

namespace vela {
class TVuZVela;
}

namespace vela::control {

class TVelaCls final : public TAutoObjectWithEvents, public IVelaCls2 {
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

// A read-write property of the interfaces: get_Name and put_Name.
#define VELA_PROPERTY(Type, Name)                \
  STDMETHODIMP get_##Name(Type* Value) override; \
  STDMETHODIMP put_##Name(Type value) override;

  // IVelaCls
  VELA_PROPERTY(BSTR, Port)
  VELA_PROPERTY(LONG, Baudrate)
  VELA_PROPERTY(BSTR, Pin)
  STDMETHODIMP get_DeviceModel(BSTR* Value) override;
  STDMETHODIMP get_Manufacturer(BSTR* Value) override;
  STDMETHODIMP get_DeviceSerial(BSTR* Value) override;
  STDMETHODIMP get_IsOpen(VARIANT_BOOL* Value) override;
  STDMETHODIMP Open() override;
  STDMETHODIMP Close() override;
  STDMETHODIMP SendSms(BSTR iDst, BSTR iMsg, VARIANT_BOOL iDeliveryReport, BSTR* oRetvalD) override;
  STDMETHODIMP get_Version(BSTR* Value) override;

  // IVelaCls2
  STDMETHODIMP SendText(BSTR iDst, BSTR iText, VARIANT_BOOL iDeliveryReport, BSTR* oMessageId) override;
  STDMETHODIMP get_PartReferences(BSTR* Value) override;
  VELA_PROPERTY(BSTR, Coding)
  VELA_PROPERTY(BSTR, Languages)
  VELA_PROPERTY(LONG, MaxParts)
  VELA_PROPERTY(VARIANT_BOOL, ReadStoredMessages)
  VELA_PROPERTY(BSTR, LockScope)
  STDMETHODIMP get_LastError(BSTR* Value) override;
  VELA_PROPERTY(LONG, ReassemblyTimeout)
#undef VELA_PROPERTY

  // The driver's callbacks: raise the events on the connected sinks.
  void DoReceiveMessage(const ByteString& originator, const ByteString& text, DateTime serviceCentreTime);
  void DoDeliveryReport(const ByteString& reference, bool delivered, DateTime serviceCentreTime,
                        DateTime dischargeTime);
  void DoReceiveText(const coding::AssembledMessage& message);
  void DoMessageStatus(const ByteString& messageId, bool delivered);

  // Runs the driver's due reassembly time-outs and arms the timer for the
  // next one (called by the thread timer).
  void RunTimers();

 protected:
  void BeforeDestruction() override;
  IDispatch* DispatchInterface() override { return static_cast<IVelaCls2*>(this); }
  void* OwnInterface(REFIID iid) override;

 private:
  ~TVelaCls() override;

  // Runs a member's body; an exception becomes the failure result with an
  // error object naming `iid` (the interface that declares the member).
  template <class Body>
  HRESULT SafeCall(Body&& body, REFIID iid = IID_IVelaCls);
  template <class Get>
  HRESULT GetText(BSTR* value, Get&& get, REFIID iid = IID_IVelaCls);
  // A property read: E_POINTER without `value`, else get()'s result (T() when it fails).
  template <class T, class Get>
  HRESULT GetValue(T* value, Get&& get, REFIID iid = IID_IVelaCls);
  // Asks for a look at the reassembly time-outs soon (after the driver has
  // finished with the part that is being reported).
  void ScheduleTimers();
  void ArmTimer(uint32_t ms);
  void StopTimer();

  std::unique_ptr<TVuZVela> Modem;
  // SendText's settings and last result.
  coding::Coding coding_ = coding::Coding::kAuto;
  std::u16string languagesText_;
  std::vector<int> languages_;
  LONG maxParts_ = 10;
  std::u16string partReferences_;
  uintptr_t timerId_ = 0;  // the thread timer of the reassembly time-outs, 0 when none
};

// Cuts a message text as the control does: first to 255 characters, then to
// its first 160.
ByteString CutMessageText(const ByteString& text);

}  // namespace vela::control

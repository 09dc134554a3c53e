#include "control/vela_cls.h"

#include <utility>

#include "control/com_server.h"
#include "modem/vuz_vela.h"
#include "platform/codepage.h"

namespace vela::control {

namespace {

constexpr DISPID kOnReceiveMessage = 201;
constexpr DISPID kOnDeliveryReport = 202;

ByteString NarrowFromBstr(BSTR text) { return platform::NarrowFromWide(WideFromBstr(text)); }

TAutoObject* CreateVelaCls(TAutoObjectFactory& factory, IUnknown* outer) { return new TVelaCls(factory, outer); }

VARIANT TextArg(const ByteString& text) {
  VARIANT v;
  VariantInit(&v);
  v.bstrVal = BstrFromNarrow(text);
  v.vt = VT_BSTR;
  return v;
}

VARIANT DateArg(DateTime value) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_DATE;
  v.date = value;
  return v;
}

VARIANT BoolArg(bool value) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BOOL;
  v.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
  return v;
}

}  // namespace

void CreateClassFactories(TComServer& server, std::vector<std::unique_ptr<TAutoObjectFactory>>& factories) {
  factories.push_back(
      std::make_unique<TAutoObjectFactory>(server, &CreateVelaCls, L"VelaCls", CLSID_VelaCls, IID_IVelaCls));
}

ByteString CutMessageText(const ByteString& text) {
  ByteString cut = text.substr(0, 255);
  if (cut.size() > 160) cut.resize(160);
  return cut;
}

TVelaCls::TVelaCls(TAutoObjectFactory& factory, IUnknown* outer) : TAutoObjectWithEvents(factory, outer) {}

TVelaCls::~TVelaCls() = default;

void TVelaCls::AfterConstruction() {
  TAutoObjectWithEvents::AfterConstruction();
  Modem = std::make_unique<TVuZVela>();
  Modem->OnReceiveMessage = [this](const ByteString& originator, const ByteString& text, DateTime scts) {
    DoReceiveMessage(originator, text, scts);
  };
  Modem->OnDeliveryReport = [this](const ByteString& reference, bool delivered, DateTime scts, DateTime discharge) {
    DoDeliveryReport(reference, delivered, scts, discharge);
  };
}

void TVelaCls::BeforeDestruction() {
  // Freeing the driver closes an open port.
  Modem.reset();
  TAutoObjectWithEvents::BeforeDestruction();
}

template <class Body>
HRESULT TVelaCls::SafeCall(Body&& body) {
  try {
    body();
    return S_OK;
  } catch (...) {
    return SafeCallException();
  }
}

template <class Get>
HRESULT TVelaCls::GetText(BSTR* value, Get&& get) {
  if (!value) return E_POINTER;
  *value = nullptr;
  return SafeCall([&] { *value = BstrFromNarrow(get()); });
}

STDMETHODIMP TVelaCls::get_Port(BSTR* Value) {
  return GetText(Value, [&] { return Modem->Port; });
}

STDMETHODIMP TVelaCls::put_Port(BSTR value) {
  return SafeCall([&] { Modem->Port = NarrowFromBstr(value); });
}

STDMETHODIMP TVelaCls::get_Baudrate(LONG* Value) {
  if (!Value) return E_POINTER;
  *Value = 0;
  return SafeCall([&] { *Value = Modem->BaudRate; });
}

STDMETHODIMP TVelaCls::put_Baudrate(LONG value) {
  return SafeCall([&] { Modem->BaudRate = value; });
}

STDMETHODIMP TVelaCls::get_Pin(BSTR* Value) {
  return GetText(Value, [&] { return Modem->Pin; });
}

STDMETHODIMP TVelaCls::put_Pin(BSTR value) {
  return SafeCall([&] { Modem->Pin = NarrowFromBstr(value); });
}

STDMETHODIMP TVelaCls::get_DeviceModel(BSTR* Value) {
  return GetText(Value, [&] { return Modem->DeviceModel(); });
}

STDMETHODIMP TVelaCls::get_Manufacturer(BSTR* Value) {
  return GetText(Value, [&] { return Modem->Manufacturer(); });
}

STDMETHODIMP TVelaCls::get_DeviceSerial(BSTR* Value) {
  return GetText(Value, [&] { return Modem->DeviceSerial(); });
}

STDMETHODIMP TVelaCls::get_IsOpen(VARIANT_BOOL* Value) {
  if (!Value) return E_POINTER;
  *Value = VARIANT_FALSE;
  return SafeCall([&] { *Value = Modem->IsOpen() ? VARIANT_TRUE : VARIANT_FALSE; });
}

STDMETHODIMP TVelaCls::Open() {
  return SafeCall([&] { Modem->Open(); });
}

STDMETHODIMP TVelaCls::Close() {
  return SafeCall([&] { Modem->Close(); });
}

STDMETHODIMP TVelaCls::SendSms(BSTR iDst, BSTR iMsg, VARIANT_BOOL iDeliveryReport, BSTR* oRetvalD) {
  if (!oRetvalD) return E_POINTER;
  *oRetvalD = nullptr;
  HRESULT hr = SafeCall([&] {
    *oRetvalD = BstrFromWide(u"");
    ByteString text = CutMessageText(NarrowFromBstr(iMsg));
    ByteString destination = NarrowFromBstr(iDst);
    ByteString reference;
    Modem->SubmitMessage(destination, text, reference, iDeliveryReport != 0);
    BSTR result = BstrFromNarrow(reference);
    SysFreeString(*oRetvalD);
    *oRetvalD = result;
  });
  if (FAILED(hr)) {
    // A caller frees no out value of a failed call.
    SysFreeString(*oRetvalD);
    *oRetvalD = nullptr;
  }
  return hr;
}

STDMETHODIMP TVelaCls::get_Version(BSTR* Value) {
  return GetText(Value, [] { return ByteString(kVersion); });
}

void TVelaCls::DoReceiveMessage(const ByteString& originator, const ByteString& text, DateTime serviceCentreTime) {
  const ByteString cut = CutMessageText(text);
  DeliverEvent(kOnReceiveMessage, [&](std::vector<VARIANT>& args) {
    // Last argument first: iSmscTime, iMsg, iFrm.
    args.push_back(DateArg(serviceCentreTime));
    args.push_back(TextArg(cut));
    args.push_back(TextArg(originator));
  });
}

void TVelaCls::DoDeliveryReport(const ByteString& reference, bool delivered, DateTime serviceCentreTime,
                                DateTime dischargeTime) {
  DeliverEvent(kOnDeliveryReport, [&](std::vector<VARIANT>& args) {
    // Last argument first: iDelivered, iEventTime, iSmscTime, iMsgID.
    args.push_back(BoolArg(delivered));
    args.push_back(DateArg(dischargeTime));
    args.push_back(DateArg(serviceCentreTime));
    args.push_back(TextArg(reference));
  });
}

}  // namespace vela::control

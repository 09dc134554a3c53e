#include "control/vela_cls.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <mutex>
#include <utility>

#include "common/utf8.h"
#include "control/com_server.h"
#include "modem/vuz_vela.h"
#include "platform/codepage.h"

namespace vela::control {

namespace {

// The events' dispids (VelaCtrl.idl).
enum : DISPID { kOnReceiveMessage = 201, kOnDeliveryReport, kOnReceiveText, kOnMessageStatus };

// Concatenation numbers parts in one octet.
constexpr LONG kMostParts = 255;
constexpr LONG kLongestReassemblyTimeout = 24 * 60 * 60;  // seconds

ByteString NarrowFromBstr(BSTR text) { return platform::NarrowFromWide(WideFromBstr(text)); }

TAutoObject* CreateVelaCls(TAutoObjectFactory& factory, IUnknown* outer) { return new TVelaCls(factory, outer); }

// An event argument; the sink's caller clears it.
VARIANT Arg(VARTYPE type) {
  VARIANT v;
  VariantInit(&v);
  v.vt = type;
  return v;
}

VARIANT WideArg(const WideString& text) {
  VARIANT v = Arg(VT_BSTR);
  v.bstrVal = BstrFromWide(text);
  return v;
}

VARIANT TextArg(const ByteString& text) { return WideArg(platform::WideFromNarrow(text)); }

VARIANT DateArg(DateTime value) {
  VARIANT v = Arg(VT_DATE);
  v.date = value;
  return v;
}

VARIANT BoolArg(bool value) {
  VARIANT v = Arg(VT_BOOL);
  v.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
  return v;
}

VARIANT LongArg(LONG value) {
  VARIANT v = Arg(VT_I4);
  v.lVal = value;
  return v;
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// A property value outside what the property allows: E_INVALIDARG with a
// description naming the property, the value and the allowed values.
[[noreturn]] void BadValue(const char* property, const std::string& why, const std::string& allowed) {
  throw EOleSysError(std::string(property) + ": " + why + "; allowed: " + allowed, E_INVALIDARG);
}

std::string LanguagesAllowed() {
  std::string names;
  for (int id = 1; id < coding::kLanguageCount; ++id) {
    std::string code = coding::LanguageCode(id);
    if (code.empty()) continue;
    if (!names.empty()) names += ", ";
    names += code;
  }
  return "\"\" (none), \"all\", or a comma-separated list of language names or ids (" + names + "; 1 to " +
         std::to_string(coding::kLanguageCount - 1) + ")";
}

const char* LockScopeName(TVuZVela::LockScope scope) {
  return scope == TVuZVela::LockScope::kPort ? "port" : "machine";
}

// Thread timers of the reassembly time-outs, by timer id. A thread timer
// (no window) reaches its procedure through the owning thread's message
// dispatch, so the object is called on its own apartment's thread.
std::mutex g_timersLock;
std::map<UINT_PTR, TVelaCls*> g_timers;

VOID CALLBACK TimerProc(HWND, UINT, UINT_PTR id, DWORD) {
  TVelaCls* object = nullptr;
  {
    std::lock_guard<std::mutex> guard(g_timersLock);
    auto found = g_timers.find(id);
    if (found != g_timers.end()) object = found->second;
  }
  if (!object) {
    KillTimer(nullptr, id);
    return;
  }
  object->RunTimers();
}

}  // namespace

void CreateClassFactories(TComServer& server, std::vector<std::unique_ptr<TAutoObjectFactory>>& factories) {
  factories.push_back(
      std::make_unique<TAutoObjectFactory>(server, &CreateVelaCls, L"VelaCls", CLSID_VelaCls, IID_IVelaCls2));
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
  Modem->OnReceiveText = [this](const coding::AssembledMessage& message) { DoReceiveText(message); };
  Modem->OnMessageStatus = [this](const TVuZVela::SentMessage& message, bool delivered) {
    DoMessageStatus(message.messageId, delivered);
  };
}

void TVelaCls::BeforeDestruction() {
  StopTimer();
  // Freeing the driver closes an open port.
  Modem.reset();
  TAutoObjectWithEvents::BeforeDestruction();
}

void* TVelaCls::OwnInterface(REFIID iid) {
  // IVelaCls2 extends IVelaCls: one virtual table serves both.
  if (IsEqualIID(iid, IID_IVelaCls) || IsEqualIID(iid, IID_IVelaCls2)) {
    IVelaCls2* p = this;
    p->AddRef();
    return p;
  }
  return TAutoObjectWithEvents::OwnInterface(iid);
}

template <class Body>
HRESULT TVelaCls::SafeCall(Body&& body, REFIID iid) {
  try {
    body();
    return S_OK;
  } catch (...) {
    return SafeCallException(iid);
  }
}

template <class T, class Get>
HRESULT TVelaCls::GetValue(T* value, Get&& get, REFIID iid) {
  if (!value) return E_POINTER;
  *value = T();
  return SafeCall([&] { *value = get(); }, iid);
}

template <class Get>
HRESULT TVelaCls::GetText(BSTR* value, Get&& get, REFIID iid) {
  return GetValue(
      value, [&] { return BstrFromNarrow(get()); }, iid);
}

STDMETHODIMP TVelaCls::get_Port(BSTR* Value) {
  return GetText(Value, [&] { return Modem->Port; });
}

STDMETHODIMP TVelaCls::put_Port(BSTR value) {
  return SafeCall([&] { Modem->Port = NarrowFromBstr(value); });
}

STDMETHODIMP TVelaCls::get_Baudrate(LONG* Value) {
  return GetValue(Value, [&] { return Modem->BaudRate; });
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
  return GetValue(Value, [&] { return Modem->IsOpen() ? VARIANT_TRUE : VARIANT_FALSE; });
}

STDMETHODIMP TVelaCls::Open() {
  return SafeCall([&] {
    Modem->Open();
    // Parts kept from before a Close may be waiting for their time-out.
    ScheduleTimers();
  });
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
  // A part may have started a message that now waits for its other parts.
  ScheduleTimers();
  const ByteString cut = CutMessageText(text);
  // The per-part events reach the sinks of both events interfaces.
  DeliverEvent(Factory().EventIIDs(), kOnReceiveMessage, [&](std::vector<VARIANT>& args) {
    // Last argument first: iSmscTime, iMsg, iFrm.
    args.push_back(DateArg(serviceCentreTime));
    args.push_back(TextArg(cut));
    args.push_back(TextArg(originator));
  });
}

void TVelaCls::DoDeliveryReport(const ByteString& reference, bool delivered, DateTime serviceCentreTime,
                                DateTime dischargeTime) {
  DeliverEvent(Factory().EventIIDs(), kOnDeliveryReport, [&](std::vector<VARIANT>& args) {
    // Last argument first: iDelivered, iEventTime, iSmscTime, iMsgID.
    args.push_back(BoolArg(delivered));
    args.push_back(DateArg(dischargeTime));
    args.push_back(DateArg(serviceCentreTime));
    args.push_back(TextArg(reference));
  });
}

void TVelaCls::DoReceiveText(const coding::AssembledMessage& message) {
  ScheduleTimers();
  DeliverEvent({DIID_IVelaClsEvents2}, kOnReceiveText, [&](std::vector<VARIANT>& args) {
    // Last argument first: iComplete, iParts, iSmscTime, iText, iFrm.
    args.push_back(BoolArg(message.complete));
    args.push_back(LongArg(message.parts));
    args.push_back(DateArg(message.smscDateTime));
    args.push_back(WideArg(message.text));
    // The whole-message path decodes alphanumeric originators to UTF-8.
    args.push_back(WideArg(WideFromUtf8(message.originator)));
  });
}

void TVelaCls::DoMessageStatus(const ByteString& messageId, bool delivered) {
  DeliverEvent({DIID_IVelaClsEvents2}, kOnMessageStatus, [&](std::vector<VARIANT>& args) {
    // Last argument first: iDelivered, iMessageId.
    args.push_back(BoolArg(delivered));
    args.push_back(TextArg(messageId));
  });
}

// --- IVelaCls2 ------------------------------------------------------------

STDMETHODIMP TVelaCls::SendText(BSTR iDst, BSTR iText, VARIANT_BOOL iDeliveryReport, BSTR* oMessageId) {
  if (!oMessageId) return E_POINTER;
  *oMessageId = nullptr;
  BSTR result = nullptr;
  HRESULT hr = SafeCall(
      [&] {
        // Nothing can go out: say so rather than return the empty identifier
        // that means "refused by the modem".
        // PartReferences describes this call from here on, whatever happens.
        partReferences_.clear();
        if (!Modem->IsOpen()) throw Exception("SendText: the port is not open; call Open first");
        TVuZVela::SendTextOptions options;
        options.coding = coding_;
        options.languages = languages_;
        options.maxParts = static_cast<int>(maxParts_);
        options.statusReport = iDeliveryReport != 0;
        TVuZVela::SendTextResult sent;
        try {
          sent = Modem->SendText(NarrowFromBstr(iDst), WideFromBstr(iText), options);
        } catch (const coding::ETextCodingError& e) {
          // The text or the number cannot be sent as asked: nothing went out.
          throw EOleSysError(e.what(), E_INVALIDARG);
        }
        ByteString references;
        for (const ByteString& reference : sent.references) {
          if (!references.empty()) references += ',';
          references += reference;
        }
        partReferences_ = platform::WideFromNarrow(references);
        result = BstrFromNarrow(sent.messageId);
      },
      IID_IVelaCls2);
  if (SUCCEEDED(hr))
    *oMessageId = result;
  else
    SysFreeString(result);
  return hr;
}

STDMETHODIMP TVelaCls::get_PartReferences(BSTR* Value) {
  return GetValue(
      Value, [&] { return BstrFromWide(partReferences_); }, IID_IVelaCls2);
}

STDMETHODIMP TVelaCls::get_Coding(BSTR* Value) {
  return GetText(
      Value, [&] { return ByteString(coding::CodingName(coding_)); }, IID_IVelaCls2);
}

STDMETHODIMP TVelaCls::put_Coding(BSTR value) {
  return SafeCall(
      [&] {
        const std::string name = Lower(NarrowFromBstr(value));
        try {
          coding_ = coding::ParseCoding(name);
        } catch (const coding::ETextCodingError&) {
          BadValue("Coding", "'" + name + "' is not a coding", "auto, gsm7, ucs2, 8bit");
        }
      },
      IID_IVelaCls2);
}

STDMETHODIMP TVelaCls::get_Languages(BSTR* Value) {
  return GetValue(
      Value, [&] { return BstrFromWide(languagesText_); }, IID_IVelaCls2);
}

STDMETHODIMP TVelaCls::put_Languages(BSTR value) {
  return SafeCall(
      [&] {
        const WideString text = WideFromBstr(value);
        std::vector<int> parsed;
        try {
          parsed = coding::ParseLanguageList(platform::NarrowFromWide(text));
        } catch (const coding::ETextCodingError& e) {
          BadValue("Languages", e.what(), LanguagesAllowed());
        }
        languages_ = std::move(parsed);
        languagesText_ = text;
      },
      IID_IVelaCls2);
}

STDMETHODIMP TVelaCls::get_MaxParts(LONG* Value) {
  return GetValue(
      Value, [&] { return maxParts_; }, IID_IVelaCls2);
}

STDMETHODIMP TVelaCls::put_MaxParts(LONG value) {
  return SafeCall(
      [&] {
        if (value < 1 || value > kMostParts)
          BadValue("MaxParts", std::to_string(value) + " is out of range", "1 to " + std::to_string(kMostParts));
        maxParts_ = value;
      },
      IID_IVelaCls2);
}

STDMETHODIMP TVelaCls::get_ReadStoredMessages(VARIANT_BOOL* Value) {
  return GetValue(
      Value, [&] { return Modem->StoredAtOpen == TVuZVela::StoredPolicy::kIgnore ? VARIANT_FALSE : VARIANT_TRUE; },
      IID_IVelaCls2);
}

STDMETHODIMP TVelaCls::put_ReadStoredMessages(VARIANT_BOOL value) {
  // Reported and then deleted, so that the next Open does not report them again.
  Modem->StoredAtOpen = value ? TVuZVela::StoredPolicy::kDeliver : TVuZVela::StoredPolicy::kIgnore;
  return S_OK;
}

STDMETHODIMP TVelaCls::get_LockScope(BSTR* Value) {
  return GetText(
      Value, [&] { return ByteString(LockScopeName(Modem->Lock)); }, IID_IVelaCls2);
}

STDMETHODIMP TVelaCls::put_LockScope(BSTR value) {
  return SafeCall(
      [&] {
        const std::string name = Lower(NarrowFromBstr(value));
        if (name == "machine")
          Modem->Lock = TVuZVela::LockScope::kMachine;
        else if (name == "port")
          Modem->Lock = TVuZVela::LockScope::kPort;
        else
          BadValue("LockScope", "'" + name + "' is not a lock scope", "machine, port");
      },
      IID_IVelaCls2);
}

STDMETHODIMP TVelaCls::get_LastError(BSTR* Value) {
  return GetText(
      Value, [&] { return Modem->LastModemError().Describe(); }, IID_IVelaCls2);
}

STDMETHODIMP TVelaCls::get_ReassemblyTimeout(LONG* Value) {
  return GetValue(
      Value, [&] { return static_cast<LONG>(Modem->ReassemblySettings.timeoutMs / 1000); }, IID_IVelaCls2);
}

STDMETHODIMP TVelaCls::put_ReassemblyTimeout(LONG value) {
  return SafeCall(
      [&] {
        if (value < 1 || value > kLongestReassemblyTimeout)
          BadValue("ReassemblyTimeout", std::to_string(value) + " seconds is out of range",
                   "1 to " + std::to_string(kLongestReassemblyTimeout));
        Modem->ReassemblySettings.timeoutMs = static_cast<uint64_t>(value) * 1000;
      },
      IID_IVelaCls2);
}

// --- reassembly time-outs ---------------------------------------------------

void TVelaCls::ScheduleTimers() { ArmTimer(USER_TIMER_MINIMUM); }

void TVelaCls::ArmTimer(uint32_t ms) {
  StopTimer();
  UINT_PTR id = SetTimer(nullptr, 0, std::max<uint32_t>(ms, USER_TIMER_MINIMUM), &TimerProc);
  if (!id) return;  // no timer: the time-outs wait for the next part or Open
  std::lock_guard<std::mutex> guard(g_timersLock);
  g_timers[id] = this;
  timerId_ = id;
}

void TVelaCls::StopTimer() {
  if (!timerId_) return;
  KillTimer(nullptr, timerId_);
  std::lock_guard<std::mutex> guard(g_timersLock);
  g_timers.erase(timerId_);
  timerId_ = 0;
}

void TVelaCls::RunTimers() {
  // A handler may release the client's last reference.
  ComPtr<IUnknown> keep(InnerUnknown());
  StopTimer();
  try {
    Modem->RunDueTimers();
  } catch (...) {
    // A failing sink: the message was handed over; nothing to return to.
  }
  if (!Modem) return;
  std::optional<uint32_t> next = Modem->MsUntilNextTimer();
  if (next && !timerId_) ArmTimer(*next);
}

}  // namespace vela::control

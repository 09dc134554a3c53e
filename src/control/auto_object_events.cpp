#include "control/auto_object_events.h"

#include <oleauto.h>

#include <string>
#include <utility>

#include "control/com_server.h"
#include "platform/codepage.h"

namespace vela::control {

// --- TInterfaceList -------------------------------------------------------

TInterfaceList::~TInterfaceList() { Clear(); }

void TInterfaceList::Add(IUnknown* item) {
  std::lock_guard<std::mutex> guard(lock_);
  items_.reserve(items_.size() + 1);
  if (item) item->AddRef();
  items_.push_back(item);
}

size_t TInterfaceList::Count() const {
  std::lock_guard<std::mutex> guard(lock_);
  return items_.size();
}

ComPtr<IUnknown> TInterfaceList::Item(size_t index) const {
  std::lock_guard<std::mutex> guard(lock_);
  return index < items_.size() ? ComPtr<IUnknown>(items_[index]) : ComPtr<IUnknown>();
}

std::vector<ComPtr<IUnknown>> TInterfaceList::Snapshot() const {
  std::lock_guard<std::mutex> guard(lock_);
  std::vector<ComPtr<IUnknown>> copy;
  copy.reserve(items_.size());
  for (IUnknown* item : items_) copy.emplace_back(item);
  return copy;
}

void TInterfaceList::Clear() {
  std::vector<IUnknown*> items;
  {
    std::lock_guard<std::mutex> guard(lock_);
    items.swap(items_);
  }
  // Released outside the lock: a release may run client code.
  for (IUnknown* item : items)
    if (item) item->Release();
}

// --- TAutoObjectWithEvents ------------------------------------------------

TAutoObjectWithEvents::TAutoObjectWithEvents(TAutoObjectFactory& factory, IUnknown* outer)
    : TAutoObject(factory, outer) {}

void TAutoObjectWithEvents::InitializeObject() {
  TAutoObject::InitializeObject();
  connectionPoints_ = std::make_unique<TConnectionPoints>(*this);
  caches_.clear();
  if (Factory().HasEvents()) {
    for (const IID& iid : Factory().EventIIDs()) {
      TConnectionPoint& point = connectionPoints_->CreateConnectionPoint(
          iid, TConnectionKind::ckMulti,
          [this, iid](IUnknown* sink, bool connecting) { ConnectEvent(iid, sink, connecting); });
      if (!eventConnectionPoint_) eventConnectionPoint_ = &point;
      caches_.push_back(SinkCache{iid, nullptr});
    }
  }
}

void TAutoObjectWithEvents::ConnectEvent(REFIID events, IUnknown* sink, bool connecting) {
  if (connecting) {
    // A sink must implement its point's events interface to be connected.
    ComPtr<IUnknown> answered;
    HRESULT hr = sink->QueryInterface(events, answered.OutVoid());
    if (FAILED(hr)) throw EOleSysError(hr);
  }
  SinkConnectionChanged();
}

void TAutoObjectWithEvents::SinkConnectionChanged() { DiscardSinkList(); }

TAutoObjectWithEvents::SinkCache* TAutoObjectWithEvents::CacheOf(REFIID iid) {
  for (SinkCache& cache : caches_)
    if (IsEqualIID(cache.iid, iid)) return &cache;
  return nullptr;
}

void TAutoObjectWithEvents::DiscardSinkList() {
  // Detach first: releasing the entries may re-enter the object.
  std::vector<std::unique_ptr<TInterfaceList>> lists;
  for (SinkCache& cache : caches_) lists.push_back(std::move(cache.sinks));
}

TInterfaceList& TAutoObjectWithEvents::EventSinks() {
  if (caches_.empty()) return emptySinks_;
  return EventSinks(caches_.front().iid);
}

TInterfaceList& TAutoObjectWithEvents::EventSinks(REFIID iid) {
  SinkCache* cache = CacheOf(iid);
  if (!cache) return emptySinks_;
  if (cache->sinks) return *cache->sinks;
  cache->sinks = std::make_unique<TInterfaceList>();
  TInterfaceList& list = *cache->sinks;
  ComPtr<IConnectionPointContainer> container;
  if (FAILED(InnerUnknown()->QueryInterface(IID_IConnectionPointContainer, container.OutVoid())) || !container)
    return list;
  ComPtr<IConnectionPoint> point;
  if (FAILED(container->FindConnectionPoint(iid, point.Out())) || !point) return list;
  ComPtr<IEnumConnections> connections;
  if (FAILED(point->EnumConnections(connections.Out())) || !connections) return list;
  CONNECTDATA record{};
  while (connections->Next(1, &record, nullptr) == S_OK) {
    if (record.pUnk) {
      list.Add(record.pUnk);
      record.pUnk->Release();
    }
    record = CONNECTDATA{};
  }
  return list;
}

void TAutoObjectWithEvents::DeliverEvent(DISPID id, const std::function<void(std::vector<VARIANT>& args)>& makeArgs) {
  if (caches_.empty()) return;
  DeliverEvent({caches_.front().iid}, id, makeArgs);
}

void TAutoObjectWithEvents::DeliverEvent(const std::vector<IID>& points, DISPID id,
                                         const std::function<void(std::vector<VARIANT>& args)>& makeArgs) {
  // The sinks connected when delivery starts each get the event once, even
  // when a handler connects or disconnects sinks meanwhile (which discards
  // and rebuilds the cached lists).
  std::vector<std::pair<IID, ComPtr<IUnknown>>> sinks;
  for (const IID& iid : points)
    for (ComPtr<IUnknown>& sink : EventSinks(iid).Snapshot()) sinks.emplace_back(iid, std::move(sink));
  for (const auto& [iid, entry] : sinks) {
    if (!entry) continue;
    ComPtr<IDispatch> sink;
    HRESULT hr = entry->QueryInterface(iid, sink.OutVoid());
    if (FAILED(hr) || !sink) throw EOleSysError(FAILED(hr) ? hr : E_NOINTERFACE);

    std::vector<VARIANT> args;
    struct ArgsGuard {
      std::vector<VARIANT>& args;
      ~ArgsGuard() {
        for (VARIANT& v : args) VariantClear(&v);
      }
    } guard{args};
    makeArgs(args);

    DISPPARAMS params{};
    params.rgvarg = args.empty() ? nullptr : args.data();
    params.cArgs = static_cast<UINT>(args.size());
    EXCEPINFO excep{};
    UINT argErr = 0;
    hr = sink->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr, &excep, &argErr);
    if (FAILED(hr)) {
      if (hr == DISP_E_EXCEPTION && excep.pfnDeferredFillIn) excep.pfnDeferredFillIn(&excep);
      std::string description;
      if (hr == DISP_E_EXCEPTION && excep.bstrDescription)
        description = platform::NarrowFromWide(WideFromBstr(excep.bstrDescription));
      HRESULT code = hr == DISP_E_EXCEPTION && FAILED(excep.scode) ? excep.scode : hr;
      SysFreeString(excep.bstrSource);
      SysFreeString(excep.bstrDescription);
      SysFreeString(excep.bstrHelpFile);
      if (!description.empty()) throw EOleSysError(description, code);
      throw EOleSysError(hr);
    }
  }
}

void* TAutoObjectWithEvents::OwnInterface(REFIID iid) {
  if (IsEqualIID(iid, IID_IConnectionPointContainer)) {
    if (!connectionPoints_) return nullptr;
    connectionPoints_->AddRef();
    return static_cast<IConnectionPointContainer*>(connectionPoints_.get());
  }
  return TAutoObject::OwnInterface(iid);
}

void TAutoObjectWithEvents::BeforeDestruction() {
  DiscardSinkList();
  // Each connection point releases its sinks without calling them.
  connectionPoints_.reset();
  eventConnectionPoint_ = nullptr;
  caches_.clear();
  TAutoObject::BeforeDestruction();
}

}  // namespace vela::control

#include "control/connection_points.h"

#include <algorithm>
#include <new>

#include "control/auto_object.h"
#include "control/com_server.h"

namespace vela::control {

namespace {

// Result code of a connect callback that threw (inside a catch block).
HRESULT ConnectFailure() {
  try {
    throw;
  } catch (const EOleSysError& e) {
    return e.Code() < 0 ? e.Code() : E_UNEXPECTED;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

}  // namespace

// --- TConnectionPoints ----------------------------------------------------

TConnectionPoints::TConnectionPoints(TAutoObject& controller) : controller_(controller) {}

TConnectionPoints::~TConnectionPoints() {
  destroying_ = true;
  for (TConnectionPoint* point : points_) delete point;
  points_.clear();
}

TConnectionPoint& TConnectionPoints::CreateConnectionPoint(REFIID iid, TConnectionKind kind, TConnectEvent onConnect) {
  auto point = std::make_unique<TConnectionPoint>(*this, iid, kind, std::move(onConnect));
  points_.push_back(point.get());
  return *point.release();
}

STDMETHODIMP TConnectionPoints::QueryInterface(REFIID iid, void** out) {
  return controller_.Controller()->QueryInterface(iid, out);
}
STDMETHODIMP_(ULONG) TConnectionPoints::AddRef() { return controller_.Controller()->AddRef(); }
STDMETHODIMP_(ULONG) TConnectionPoints::Release() { return controller_.Controller()->Release(); }

STDMETHODIMP TConnectionPoints::EnumConnectionPoints(IEnumConnectionPoints** out) {
  return HandOutNew(out, [this] { return new TEnumConnectionPoints(*this, 0); });
}

STDMETHODIMP TConnectionPoints::FindConnectionPoint(REFIID iid, IConnectionPoint** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  for (TConnectionPoint* point : points_) {
    if (IsEqualIID(point->InterfaceID(), iid)) {
      *out = point;
      point->AddRef();
      return S_OK;
    }
  }
  return CONNECT_E_NOCONNECTION;
}

// --- TConnectionPoint -----------------------------------------------------

TConnectionPoint::TConnectionPoint(TConnectionPoints& container, REFIID iid, TConnectionKind kind,
                                   TConnectEvent onConnect)
    : container_(container), iid_(iid), kind_(kind), onConnect_(std::move(onConnect)) {}

TConnectionPoint::~TConnectionPoint() {
  for (IUnknown*& slot : slots_) {
    if (IUnknown* sink = std::exchange(slot, nullptr)) sink->Release();
  }
  slots_.clear();
  if (!container_.destroying_) {
    auto& points = container_.points_;
    points.erase(std::remove(points.begin(), points.end(), this), points.end());
  }
}

STDMETHODIMP TConnectionPoint::QueryInterface(REFIID iid, void** out) {
  return QueryOwnInterface<IConnectionPoint>(this, IID_IConnectionPoint, iid, out);
}

STDMETHODIMP_(ULONG) TConnectionPoint::AddRef() { return container_.Controller().Controller()->AddRef(); }
STDMETHODIMP_(ULONG) TConnectionPoint::Release() { return container_.Controller().Controller()->Release(); }

STDMETHODIMP TConnectionPoint::GetConnectionInterface(IID* iid) {
  if (!iid) return E_POINTER;
  *iid = iid_;
  return S_OK;
}

STDMETHODIMP TConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** out) {
  if (!out) return E_POINTER;
  *out = &container_;
  container_.AddRef();
  return S_OK;
}

STDMETHODIMP TConnectionPoint::Advise(IUnknown* sink, DWORD* cookie) {
  if (!sink || !cookie) return E_POINTER;
  try {
    if (kind_ == TConnectionKind::ckSingle &&
        std::any_of(slots_.begin(), slots_.end(), [](IUnknown* s) { return s != nullptr; }))
      return CONNECT_E_ADVISELIMIT;
    if (onConnect_) onConnect_(sink, true);
    auto empty = std::find(slots_.begin(), slots_.end(), nullptr);
    size_t position = static_cast<size_t>(empty - slots_.begin());
    if (empty == slots_.end()) slots_.push_back(nullptr);
    sink->AddRef();
    slots_[position] = sink;
    *cookie = static_cast<DWORD>(position + 1);
    return S_OK;
  } catch (...) {
    return ConnectFailure();
  }
}

STDMETHODIMP TConnectionPoint::Unadvise(DWORD cookie) {
  // Cookies are DWORDs: 0 (and anything past the slots) is no connection.
  size_t position = static_cast<size_t>(cookie) - 1;
  if (cookie == 0 || position >= slots_.size() || !slots_[position]) return CONNECT_E_NOCONNECTION;
  try {
    if (onConnect_) onConnect_(slots_[position], false);
    // The callback may have run client code; look at the slot again.
    if (IUnknown* sink = std::exchange(slots_[position], nullptr)) sink->Release();
    return S_OK;
  } catch (...) {
    return ConnectFailure();
  }
}

STDMETHODIMP TConnectionPoint::EnumConnections(IEnumConnections** out) {
  return HandOutNew(out, [this] { return new TEnumConnections(*this, 0); });
}

// --- TEnumConnections -----------------------------------------------------

TEnumConnections::TEnumConnections(TConnectionPoint& point, size_t index)
    : TIndexEnumerator(index),
      point_(point),
      owner_(point.Container().Controller().Controller()),
      count_(point.Slots().size()) {}

STDMETHODIMP TEnumConnections::Next(ULONG count, CONNECTDATA* records, ULONG* fetched) {
  if (!records) return E_POINTER;
  const auto& slots = point_.Slots();
  ULONG filled = 0;
  while (filled < count && index_ < count_) {
    IUnknown* sink = index_ < slots.size() ? slots[index_] : nullptr;
    if (sink) {
      sink->AddRef();
      records[filled].pUnk = sink;
      records[filled].dwCookie = static_cast<DWORD>(index_ + 1);
      ++filled;
    }
    ++index_;
  }
  if (fetched) *fetched = filled;
  return filled == count ? S_OK : S_FALSE;
}

STDMETHODIMP TEnumConnections::Skip(ULONG count) {
  const auto& slots = point_.Slots();
  ULONG skipped = 0;
  while (skipped < count && index_ < count_) {
    if (index_ < slots.size() && slots[index_]) ++skipped;
    ++index_;
  }
  return skipped == count ? S_OK : S_FALSE;
}

// --- TEnumConnectionPoints ------------------------------------------------

TEnumConnectionPoints::TEnumConnectionPoints(TConnectionPoints& container, size_t index)
    : TIndexEnumerator(index), container_(container), owner_(container.Controller().Controller()) {}

STDMETHODIMP TEnumConnectionPoints::Next(ULONG count, IConnectionPoint** points, ULONG* fetched) {
  if (!points) return E_POINTER;
  const auto& list = container_.Points();
  ULONG filled = 0;
  while (filled < count && index_ < list.size()) {
    TConnectionPoint* point = list[index_++];
    point->AddRef();
    points[filled++] = point;
  }
  if (fetched) *fetched = filled;
  return filled == count ? S_OK : S_FALSE;
}

STDMETHODIMP TEnumConnectionPoints::Skip(ULONG count) {
  const size_t size = container_.Points().size();
  ULONG skipped = 0;
  while (skipped < count && index_ < size) {
    ++index_;
    ++skipped;
  }
  return skipped == count ? S_OK : S_FALSE;
}

}  // namespace vela::control

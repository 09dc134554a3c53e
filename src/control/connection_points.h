// Connection points of an automation object: the container the object hands
// out as IConnectionPointContainer, one connection point per events interface,
// and the enumerators of both.
//
// A connection point keeps its sinks in slots that are emptied but never
// removed, so a slot's position is stable; the connection cookie is the slot
// position + 1 (0 is never a cookie).
//
// Threads: all of this lives in the owning object's apartment and is called on
// its thread; nothing here takes a lock.
#pragma once

#include <ocidl.h>
#include <olectl.h>
#include <windows.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <vector>

#include "control/com_ptr.h"

namespace vela::control {

class TAutoObject;
class TConnectionPoint;

// Called with (sink, true) before a sink is stored and (sink, false) before it
// is removed. Throwing refuses the change; an EOleSysError's negative code
// becomes the caller's result, any other error E_UNEXPECTED.
using TConnectEvent = std::function<void(IUnknown* sink, bool connecting)>;

enum class TConnectionKind { ckSingle, ckMulti };

class TConnectionPoints final : public IConnectionPointContainer {
 public:
  // `controller` owns the container; reference counts go to its controlling unknown.
  explicit TConnectionPoints(TAutoObject& controller);
  ~TConnectionPoints();  // destroys every connection point
  TConnectionPoints(const TConnectionPoints&) = delete;
  TConnectionPoints& operator=(const TConnectionPoints&) = delete;

  // Creates a connection point owned by this container.
  TConnectionPoint& CreateConnectionPoint(REFIID iid, TConnectionKind kind, TConnectEvent onConnect);

  STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;
  STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** out) override;
  STDMETHODIMP FindConnectionPoint(REFIID iid, IConnectionPoint** out) override;

  TAutoObject& Controller() const { return controller_; }
  const std::vector<TConnectionPoint*>& Points() const { return points_; }

 private:
  friend class TConnectionPoint;
  TAutoObject& controller_;
  std::vector<TConnectionPoint*> points_;  // owned
  bool destroying_ = false;
};

class TConnectionPoint final : public IConnectionPoint {
 public:
  TConnectionPoint(TConnectionPoints& container, REFIID iid, TConnectionKind kind, TConnectEvent onConnect);
  // Empties the occupied slots in ascending order, releasing each sink once;
  // the connect callback is not called.
  ~TConnectionPoint();
  TConnectionPoint(const TConnectionPoint&) = delete;
  TConnectionPoint& operator=(const TConnectionPoint&) = delete;

  // QueryInterface answers IUnknown and IConnectionPoint; reference counts go
  // to the owning object.
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;
  STDMETHODIMP GetConnectionInterface(IID* iid) override;
  STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer** out) override;
  STDMETHODIMP Advise(IUnknown* sink, DWORD* cookie) override;
  STDMETHODIMP Unadvise(DWORD cookie) override;
  STDMETHODIMP EnumConnections(IEnumConnections** out) override;

  const IID& InterfaceID() const { return iid_; }
  TConnectionPoints& Container() const { return container_; }
  // Slot positions are stable: null entries are empty slots.
  const std::vector<IUnknown*>& Slots() const { return slots_; }

 private:
  TConnectionPoints& container_;
  IID iid_;
  TConnectionKind kind_;
  TConnectEvent onConnect_;
  std::vector<IUnknown*> slots_;  // each occupied slot holds one reference
};

// IUnknown, Reset and Clone of an enumerator (interface I, `kIid`) whose
// cursor is an index; Derived::At(index) makes a copy at another position.
// Deleted by its last Release.
template <class Derived, class I, const IID& kIid>
class TIndexEnumerator : public I {
 public:
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override { return QueryOwnInterface<I>(this, kIid, iid, out); }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refCount_; }
  STDMETHODIMP_(ULONG) Release() override {
    const ULONG count = --refCount_;
    if (count == 0) delete static_cast<Derived*>(this);
    return count;
  }
  STDMETHODIMP Reset() override {
    index_ = 0;
    return S_OK;
  }
  STDMETHODIMP Clone(I** out) override {
    return HandOutNew(out, [this] { return static_cast<Derived*>(this)->At(index_); });
  }

 protected:
  explicit TIndexEnumerator(size_t index) : index_(index) {}
  ~TIndexEnumerator() = default;

  size_t index_;

 private:
  ULONG refCount_ = 1;
};

// Walks the slots of one connection point that existed when it was created;
// slots emptied later are skipped. Holds a reference to the owning object.
class TEnumConnections final : public TIndexEnumerator<TEnumConnections, IEnumConnections, IID_IEnumConnections> {
 public:
  TEnumConnections(TConnectionPoint& point, size_t index);
  TEnumConnections* At(size_t index) const { return new TEnumConnections(point_, index); }

  STDMETHODIMP Next(ULONG count, CONNECTDATA* records, ULONG* fetched) override;
  STDMETHODIMP Skip(ULONG count) override;

 private:
  TConnectionPoint& point_;
  ComPtr<IUnknown> owner_;
  size_t count_;
};

// Walks the container's connection points. Holds a reference to the owning
// object, so the container outlives it.
class TEnumConnectionPoints final
    : public TIndexEnumerator<TEnumConnectionPoints, IEnumConnectionPoints, IID_IEnumConnectionPoints> {
 public:
  TEnumConnectionPoints(TConnectionPoints& container, size_t index);
  TEnumConnectionPoints* At(size_t index) const { return new TEnumConnectionPoints(container_, index); }

  STDMETHODIMP Next(ULONG count, IConnectionPoint** points, ULONG* fetched) override;
  STDMETHODIMP Skip(ULONG count) override;

 private:
  TConnectionPoints& container_;
  ComPtr<IUnknown> owner_;
};

}  // namespace vela::control

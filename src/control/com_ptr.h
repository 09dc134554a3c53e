// A counted interface reference: AddRef on copy, Release on reset and end of
// life; and the IUnknown answers the control's small objects share.
#pragma once

#include <unknwn.h>

#include <utility>

namespace vela::control {

template <class T>
class ComPtr {
 public:
  ComPtr() = default;
  // Takes a new reference to `p`.
  explicit ComPtr(T* p) : p_(p) {
    if (p_) p_->AddRef();
  }
  ComPtr(const ComPtr& other) : ComPtr(other.p_) {}
  ComPtr(ComPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  ComPtr& operator=(ComPtr other) noexcept {
    std::swap(p_, other.p_);
    return *this;
  }
  ~ComPtr() { Reset(); }

  // Adopts a reference the caller already owns (an out parameter's result).
  static ComPtr Adopt(T* p) {
    ComPtr r;
    r.p_ = p;
    return r;
  }

  void Reset() {
    if (T* p = std::exchange(p_, nullptr)) p->Release();
  }
  // Hands the reference to the caller (for out parameters).
  T* Detach() { return std::exchange(p_, nullptr); }
  // For out parameters: releases the current reference first.
  T** Out() {
    Reset();
    return &p_;
  }
  void** OutVoid() { return reinterpret_cast<void**>(Out()); }

  T* Get() const { return p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  T* p_ = nullptr;
};

// QueryInterface of an object that has one interface (`own`) besides IUnknown.
template <class I>
HRESULT QueryOwnInterface(I* self, REFIID own, REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, own)) {
    *out = self;
    self->AddRef();
    return S_OK;
  }
  *out = nullptr;
  return E_NOINTERFACE;
}

// Hands a new object from `make` to the caller as `*out`: E_POINTER without
// `out`, E_UNEXPECTED when it cannot be made.
template <class I, class Make>
HRESULT HandOutNew(I** out, Make&& make) {
  if (!out) return E_POINTER;
  *out = nullptr;
  try {
    *out = make();
    return S_OK;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

}  // namespace vela::control

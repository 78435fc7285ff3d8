#pragma once

#include <cstdint>
#include <utility>

#include "framework/guid.h"

namespace kyt {

using HRESULT = int32_t;
inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002u);

// The plain counted interface every contract interface derives from. Interfaces inherit
// virtually, so an object that implements several of them has one count and one identity.
struct IInterface {
  static constexpr TGUID IID = TGUID::FromText("{00000000-0000-0000-C000-000000000046}");
  virtual HRESULT QueryInterface(const TGUID& iid, void** obj) = 0;
  virtual int32_t AddRef() = 0;
  virtual int32_t Release() = 0;

 protected:
  ~IInterface() = default;
};

// The plain invokable interface, root of the module interfaces (script-callable).
struct IInvokable : virtual IInterface {
  static constexpr TGUID IID = TGUID::FromText("{00020400-0000-0000-C000-000000000046}");

 protected:
  ~IInvokable() = default;
};

// A counted reference to an interface (or to an object implementing AddRef/Release).
template <class T>
class TRef {
 public:
  TRef() = default;
  TRef(std::nullptr_t) {}  // NOLINT(google-explicit-constructor)
  explicit TRef(T* p) : p_(p) {
    if (p_)
      p_->AddRef();
  }
  // Takes over a reference the caller already counted (a fresh QueryInterface result).
  static TRef Adopt(T* p) {
    TRef r;
    r.p_ = p;
    return r;
  }
  TRef(const TRef& o) : TRef(o.p_) {}
  TRef(TRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  template <class U>
  TRef(const TRef<U>& o) : TRef(static_cast<T*>(o.Get())) {}  // NOLINT: upcast
  ~TRef() { Reset(); }
  TRef& operator=(TRef o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }

  void Reset() {
    if (T* p = std::exchange(p_, nullptr))
      p->Release();
  }
  T* Get() const { return p_; }
  T* operator->() const { return p_; }
  T& operator*() const { return *p_; }
  explicit operator bool() const { return p_ != nullptr; }
  friend bool operator==(const TRef& a, const TRef& b) { return a.p_ == b.p_; }

 private:
  T* p_ = nullptr;
};

// Asks an object for interface I by GUID; an empty reference when it does not support it.
template <class I, class From>
TRef<I> Supports(From* obj) {
  void* out = nullptr;
  if (obj == nullptr || obj->QueryInterface(I::IID, &out) != S_OK || out == nullptr)
    return {};
  return TRef<I>::Adopt(static_cast<I*>(out));
}
template <class I, class From>
TRef<I> Supports(const TRef<From>& obj) {
  return Supports<I>(obj.Get());
}

}  // namespace kyt

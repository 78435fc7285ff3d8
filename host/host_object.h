#pragma once

// The reference counting and interface lookup every host service object shares. Each service
// is its own object, so interfaces whose methods share a name and signature
// (IKYTObjectManager::HasChildren, IKYTConnectionService::HasChildren) keep their own meaning.

#include <atomic>

#include "framework/interfaces.h"

namespace kyt::host {

template <class... I>
class THostObject : public I... {
 public:
  THostObject(const THostObject&) = delete;
  THostObject& operator=(const THostObject&) = delete;

  HRESULT QueryInterface(const TGUID& iid, void** obj) override {
    void* found = Find(iid);
    *obj = found;
    if (found == nullptr)
      return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  int32_t AddRef() override { return ++count_; }
  int32_t Release() override {
    int32_t left = --count_;
    if (left == 0)
      delete this;
    return left;
  }
  int32_t GetRefCount() override { return count_.load(); }
  // Modules never address host services with messages; nothing to do.
  void MessageSink(const TKYTMessage&) override {}

 protected:
  THostObject() = default;
  virtual ~THostObject() = default;
  // Interfaces a service answers beyond its direct bases (the bases of those interfaces).
  virtual void* FindMore(const TGUID&) { return nullptr; }

 private:
  void* Find(const TGUID& iid) {
    if (iid == IInterface::IID)
      return static_cast<IInterface*>(this);
    if (iid == IKYTInterface::IID)
      return static_cast<IKYTInterface*>(this);
    if (iid == IKYTMessageSink::IID)
      return static_cast<IKYTMessageSink*>(this);
    void* found = nullptr;
    ((found = found ? found : (iid == I::IID ? static_cast<I*>(this) : nullptr)), ...);
    return found ? found : FindMore(iid);
  }

  std::atomic<int32_t> count_{0};
};

}  // namespace kyt::host

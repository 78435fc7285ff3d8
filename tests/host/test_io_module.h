#pragma once

// A small I/O module for the host's tests: an interface of its own for script calls, the data
// interface for children and bridges, a timer, and a way to fail its construction.

#include <mutex>
#include <string>
#include <vector>

#include "framework/module_object.h"
#include "framework/typeinfo.h"
#include "host/reference_host.h"

namespace kyt::test_support {

struct ITestIO : virtual IInvokable {
  static constexpr TGUID IID = TGUID::FromText("{55210FFD-D66C-48A4-81A8-1F61AC209573}");
  virtual int32_t Add(int32_t A, int32_t B) = 0;
  virtual std::string Echo(const std::string& Text) = 0;
  virtual void Fail(const std::string& Text) = 0;
  virtual void Inject(const std::string& Data) = 0;  // hands a block to the children

 protected:
  ~ITestIO() = default;
};

const TInterfaceTypeInfo& TestIOTypeInfo();

class TTestIO : public TKYTModuleObject, public virtual IKYTSendData, public virtual ITestIO {
 public:
  using Interfaces = TInterfaceList<IKYTSendData, ITestIO>;
  static const TKYTModuleClass Class;

  // Registers the timer "Poll" (stopped); raises after that when the setting "Explode" is set.
  // The destructor sets the summary "gone", as modules that report their closing do.
  TTestIO(const TRef<IKYTKernel>& Kernel, TInstanceID InstanceID);
  ~TTestIO() override;

  int32_t Add(int32_t A, int32_t B) override { return A + B; }
  std::string Echo(const std::string& Text) override { return Text; }
  void Fail(const std::string& Text) override { throw EKYTModuleObject(Text); }
  void Inject(const std::string& Data) override { DeliverToChildren(Data); }
  void SendData(const std::string& Data) override;

  std::vector<std::string> Sent() const;

 protected:
  void* FindInterface(const TGUID& iid) override { return Interfaces::Find(this, iid); }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> sent_;
  TTimerID timer_ = 0;
  bool explode_ = false;
};

// Registered as "TIO".
void RegisterTestIO(host::TReferenceHost& host);
TTestIO& TestIO(host::TReferenceHost& host, TInstanceID id);

}  // namespace kyt::test_support

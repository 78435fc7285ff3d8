#pragma once

#include <memory>
#include <mutex>

#include "framework/module_object.h"
#include "gateway/mqtt_link.h"

namespace kyt::gateway {

// The module's settings, one per property.
struct TMQTTSettings {
  bool Open = false;
  std::string Host = "127.0.0.1";
  int32_t Port = 1883;
  std::string ClientID;  // empty: kyt-HOSTNAME-PID-INSTANCE
  std::string Username;
  std::string Password;
  bool UseTLS = false;
  std::string CAFile;
  std::string CertFile;
  std::string KeyFile;
  int32_t QoS = 1;
  std::string Prefix = "kyt";
  std::string TxTopic;  // empty: PREFIX/NAME/tx
  int32_t KeepAlive = 60;
  int32_t MaxPayload = 0;
  bool operator==(const TMQTTSettings&) const = default;
};

// A child of any instance that carries its data to an MQTT broker and back: every block the
// parent receives is published to PREFIX/NAME/rx, what arrives on PREFIX/NAME/tx is sent to the
// parent, and the parent's status and summary are kept, retained, in PREFIX/NAME/state.
class TKYTMQTT : public TKYTModuleObject, public virtual IKYTReceiveData, private IMQTTGateway {
 public:
  using Interfaces = TInterfaceList<IKYTReceiveData>;
  static const TKYTModuleClass Class;

  TKYTMQTT(const TRef<IKYTKernel>& Kernel, TInstanceID InstanceID);
  ~TKYTMQTT() override;

  // Queues the block for the broker and returns at once; raises when the module is not open.
  void ReceiveData(const std::string& Data) override;

  void ApplyChanges() override;
  void ResetChanges() override;

  // Tests shorten the back-off and the queues of the instances made afterwards.
  static void SetTimings(const TMQTTTimings& timings);

 protected:
  void* FindInterface(const TGUID& iid) override { return Interfaces::Find(this, iid); }

 private:
  std::optional<TParentView> Parent() override;
  void SendToParent(const std::string& block) override;
  void Report(int32_t status, const std::string& summary) override;
  void Log(int32_t code, const std::string& text) override;

  TMQTTOptions Options() const;
  void StopLink();

  TSettingsPair<TMQTTSettings> settings_;
  std::mutex linkMutex_;  // guards the pointer; the receive path takes a copy
  std::shared_ptr<TMQTTLink> link_;
};

}  // namespace kyt::gateway

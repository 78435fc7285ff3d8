#include "gateway/gateway_modules.h"

#ifdef KYT_WITH_MQTT
#include "gateway/mqtt_module.h"
#endif

namespace kyt::gateway {

void RegisterGatewayModules([[maybe_unused]] host::TReferenceHost& host) {
#ifdef KYT_WITH_MQTT
  host.RegisterModule(&TKYTMQTT::Class, nullptr, "MQTT");
#endif
}

}  // namespace kyt::gateway

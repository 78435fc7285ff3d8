#pragma once

#include "host/reference_host.h"

namespace kyt::gateway {

// Registers the gateway modules this build has (MQTT where libmosquitto was found) with a host.
void RegisterGatewayModules(host::TReferenceHost& host);

}  // namespace kyt::gateway

#pragma once

// What the command says about a call the instance does not offer, before the call reaches the
// host: the host would hand an unknown name to the module's catch-all handler, whose text
// speaks of PHP and hides that the instance is of another module.

#include <optional>
#include <string>
#include <vector>

#include "host/reference_host.h"
#include "runtime/variant.h"

namespace kyt::host {

// "Unknown function: NAME" when no instance offers the function, "NAME: instance #11 is a
// Console, not a CSCK" when another module's instances do; none when the instance offers it,
// or when the first argument names no existing instance (the host's own answer says so).
std::optional<std::string> CallMismatch(const TReferenceHost& host, const std::string& function,
                                        const std::vector<Variant>& args);

}  // namespace kyt::host

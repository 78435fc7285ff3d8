#include "runtime/types.h"

#include <algorithm>
#include <mutex>

namespace kyt {
namespace {

struct Registry {
  std::mutex mutex;
  std::vector<TRegisteredTypeName> names;
};

// Plug-ins register from their static initialisers, possibly before or after ours and while
// others unload, so the registry is made on first use and never destroyed.
Registry& TheRegistry() {
  static auto* registry = new Registry;
  return *registry;
}

}  // namespace

void RegisterTypeName(const std::string& name, const std::string& ns, const std::string& typeName) {
  auto& registry = TheRegistry();
  std::lock_guard lock(registry.mutex);
  const bool known = std::any_of(registry.names.begin(), registry.names.end(), [&](const auto& r) {
    return r.Name == name && r.Namespace == ns;
  });
  if (!known)
    registry.names.push_back({name, ns, typeName});
}

std::vector<TRegisteredTypeName> RegisteredTypeNames() {
  auto& registry = TheRegistry();
  std::lock_guard lock(registry.mutex);
  return registry.names;
}

}  // namespace kyt

#pragma once

#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "framework/interfaces.h"
#include "framework/typeinfo.h"

namespace kyt::host {

// What a script call resolves to: a described method of the instance's object, or the
// instance's fallback handler for a name under one of its prefixes.
struct TScriptTarget {
  std::string Name;  // as registered (or as called, for the handler)
  TInstanceID Instance = 0;
  const TInterfaceTypeInfo* Info = nullptr;  // set for a method
  const TMethodInfo* Method = nullptr;
  TCallFunctionHandler Handler;  // set for the fallback
};

// Script functions PREFIX_Method, keyed by name (any letter case) and then by instance, since
// every instance of a module registers the same names.
class TScriptRegistry {
 public:
  void Register(const TInterfaceTypeInfo* info, const std::string& prefix,
                TCallFunctionHandler handler, TInstanceID instance, bool flag);
  void Unregister(TInstanceID instance);
  // Raises Exception("Unknown function: NAME") when neither a function nor a prefix of that
  // instance matches.
  TScriptTarget Resolve(const std::string& name, TInstanceID instance) const;
  bool Exists(const std::string& name) const;
  // Registration order; instance 0 lists every instance's functions.
  std::vector<std::string> Names(TInstanceID instance) const;

 private:
  struct TFunction {
    std::string Name;
    const TInterfaceTypeInfo* Info = nullptr;
    const TMethodInfo* Method = nullptr;
    bool Flag = false;
  };
  struct TPrefix {
    std::string Key;  // lower case
    TCallFunctionHandler Handler;
  };

  mutable std::mutex mutex_;
  std::map<std::string, std::map<TInstanceID, TFunction>> functions_;
  std::map<TInstanceID, std::vector<TPrefix>> prefixes_;
  std::vector<std::pair<TInstanceID, std::string>> order_;
};

}  // namespace kyt::host

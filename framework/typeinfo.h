#pragma once

// Interface type descriptions: what the module loader and the script engine know of an
// interface. Each method carries an invoker that calls it on an object with Variant arguments,
// so a host can offer every method as a script function PREFIX_Method(InstanceID, ...).

#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "framework/guid.h"
#include "framework/interfaces.h"
#include "framework/record_variant.h"
#include "runtime/exception.h"
#include "runtime/variant.h"

namespace kyt {

struct TParamInfo {
  std::string Name;
  std::string TypeName;
};

struct TMethodInfo {
  std::string Name;
  std::vector<TParamInfo> Params;
  std::string ResultType;  // empty for a procedure
  // Calls the method on `obj`, the interface pointer QueryInterface returned for the
  // description's GUID. Raises Exception for a wrong argument count and EConvertError for an
  // argument of the wrong kind; what the method raises passes through.
  Variant (*Invoke)(void* obj, const std::vector<Variant>& args) = nullptr;
};

struct TInterfaceTypeInfo {
  std::string Name;
  TGUID IID;
  const TInterfaceTypeInfo* Parent = nullptr;  // the interface it extends, when described
  std::vector<TMethodInfo> Methods;            // its own methods, in declaration order

  const TMethodInfo* FindMethod(const std::string& name) const;  // case-insensitive
};

// The descriptions of IKYTModule and of every module interface.
template <class I>
const TInterfaceTypeInfo& TypeInfoOf();
template <>
const TInterfaceTypeInfo& TypeInfoOf<IKYTModule>();
template <>
const TInterfaceTypeInfo& TypeInfoOf<IKYTSerialControl>();
template <>
const TInterfaceTypeInfo& TypeInfoOf<IKYTSerialControlEx>();
template <>
const TInterfaceTypeInfo& TypeInfoOf<IKYTSerialPort>();
template <>
const TInterfaceTypeInfo& TypeInfoOf<IKYTClientSocket>();
template <>
const TInterfaceTypeInfo& TypeInfoOf<IKYTServerSocket>();
template <>
const TInterfaceTypeInfo& TypeInfoOf<IKYTWWWReader>();
template <>
const TInterfaceTypeInfo& TypeInfoOf<IKYTHID>();
template <>
const TInterfaceTypeInfo& TypeInfoOf<IKYTFTDI>();
template <>
const TInterfaceTypeInfo& TypeInfoOf<IKYTUSBXp>();
template <>
const TInterfaceTypeInfo& TypeInfoOf<IKYTSendData>();
template <>
const TInterfaceTypeInfo& TypeInfoOf<IKYTHIDSendData>();
// All described interfaces, IKYTModule first.
const std::vector<const TInterfaceTypeInfo*>& AllInterfaceTypeInfos();

namespace typeinfo_detail {

template <class T>
std::string TypeName();

// Converts a script argument to a parameter type; raises EConvertError when it cannot.
template <class T>
T FromVariant(const Variant& v);

template <>
bool FromVariant<bool>(const Variant& v);
template <>
int32_t FromVariant<int32_t>(const Variant& v);
template <>
uint16_t FromVariant<uint16_t>(const Variant& v);
template <>
uint8_t FromVariant<uint8_t>(const Variant& v);
template <>
double FromVariant<double>(const Variant& v);
template <>
std::string FromVariant<std::string>(const Variant& v);
template <>
Variant FromVariant<Variant>(const Variant& v);

template <>
std::string TypeName<bool>();
template <>
std::string TypeName<int32_t>();
template <>
std::string TypeName<uint16_t>();
template <>
std::string TypeName<uint8_t>();
template <>
std::string TypeName<double>();
template <>
std::string TypeName<std::string>();
template <>
std::string TypeName<Variant>();
template <>
std::string TypeName<TStringArray>();
template <>
std::string TypeName<TKYTStatusVariable>();
template <>
std::string TypeName<TKYTStatusVariables>();
template <>
std::string TypeName<THIDDevices>();
template <>
std::string TypeName<TFTDIDevices>();
template <>
std::string TypeName<TUSBXpDevices>();

[[noreturn]] void WrongArgumentCount(size_t expected, size_t got);

template <auto M>
struct Binder;

template <class I, class R, class... A, R (I::*M)(A...)>
struct Binder<M> {
  static Variant Invoke(void* obj, const std::vector<Variant>& args) {
    if (args.size() != sizeof...(A))
      WrongArgumentCount(sizeof...(A), args.size());
    return Call(static_cast<I*>(obj), args, std::index_sequence_for<A...>{});
  }
  template <size_t... N>
  static Variant Call(I* self, const std::vector<Variant>& args, std::index_sequence<N...>) {
    if constexpr (std::is_void_v<R>) {
      (self->*M)(FromVariant<std::decay_t<A>>(args[N])...);
      return Variant();
    } else {
      return ToVariant((self->*M)(FromVariant<std::decay_t<A>>(args[N])...));
    }
  }
  static std::vector<std::string> ParamTypes() { return {TypeName<std::decay_t<A>>()...}; }
  static std::string ResultType() {
    if constexpr (std::is_void_v<R>) {
      return "";
    } else {
      return TypeName<R>();
    }
  }
  static constexpr size_t Arity = sizeof...(A);
};

template <auto M>
TMethodInfo Method(const char* name, std::vector<const char*> paramNames = {}) {
  using B = Binder<M>;
  TMethodInfo info{name, {}, B::ResultType(), &B::Invoke};
  auto types = B::ParamTypes();
  for (size_t i = 0; i < types.size(); ++i) {
    info.Params.push_back({i < paramNames.size() ? paramNames[i] : "", types[i]});
  }
  return info;
}

}  // namespace typeinfo_detail

}  // namespace kyt

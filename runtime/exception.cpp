#include "runtime/exception.h"

namespace kyt {

// Defined here so the vtables and typeinfo live in the runtime alone: the plug-in and the host
// then agree on one kyt::Exception and can catch each other's exceptions by base class.
Exception::~Exception() = default;
EConvertError::~EConvertError() = default;

}  // namespace kyt

#include "vel/core/argument_map.h"

#include <glog/logging.h>

namespace vel {

Json ArgumentMap::FindArrayArgument(const std::string& name) const {
  Json value = arguments_[name];
  if (value.IsNull() || value.IsArray()) return value;
  LOG(WARNING) << "Manifest argument is not an array: name=" << name
               << ", type=" << value.TypeName();
  return value;
}

}  // namespace vel

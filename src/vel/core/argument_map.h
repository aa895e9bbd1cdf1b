// The arguments a manifest gives one component: a JSON object read once at
// load time and read-only afterwards (any thread).
#pragma once

#include <string>

#include "vel/core/json.h"

namespace vel {

class ArgumentMap {
 public:
  ArgumentMap() = default;
  explicit ArgumentMap(Json arguments) : arguments_(std::move(arguments)) {}

  // The argument `name`, expected to be an array; null when it is absent.
  // A value of another type is returned as it is (and logged at warning
  // level) so that the component's validation can report it.
  Json FindArrayArgument(const std::string& name) const;

 private:
  Json arguments_;
};

}  // namespace vel
